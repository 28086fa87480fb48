// Paced playback of a 1080p file at 20 and 40 ms per picture on a 60 Hz screen, through each of
// olm_vout's two paths: pictures shown, refreshes missed, put-to-screen latency and CPU, side by
// side in a table and drawn into build/bench/timing.png (intervals between pictures on screen
// over time, and the latency histogram).

#include "bench_media.h"
#include "bench_util.h"
#include "olm_vout.h"
#include "playback_thread.h"
#include "present_probe.h"
#include "shared_state.h"
#include "xhelpers.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kSeconds = 5.0;

struct Run {
    int intervalMs;
    bool present;
    double shownPerSecond = 0, cpuMsPerShown = 0;
    uint64_t missed = 0;
    double p50Ms = 0, p95Ms = 0;
    std::vector<olm_vout_presentation> history;
};

Run play(const std::string& path, uint32_t host, int intervalMs, bool present) {
    Run run;
    run.intervalMs = intervalMs;
    run.present = present;
    setCurrentVout(bench::createOutput(host, !present));
    if (!currentVout())
        return run;
    olm_vout_timing timing{};
    timing.struct_size = sizeof timing;
    olm_vout_get_timing(currentVout(), &timing);
    run.present = timing.path == OLM_VOUT_PATH_PRESENT;

    g_frameIntervalMs = intervalMs;
    g_stopPlayback = false;
    const double cpuBefore = bench::processCpuMs();
    std::thread player([&] { playFile(path.c_str()); });
    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
    g_stopPlayback = true;
    player.join();
    olm_vout_stats stats{};
    for (int i = 0; i < 200; ++i) { // the last picture reaches the screen
        olm_vout_get_stats(currentVout(), &stats);
        if (stats.presented + stats.dropped >= stats.put)
            break;
        bench::sleepMicroseconds(1000);
    }
    const double cpu = bench::processCpuMs() - cpuBefore;
    olm_vout_get_timing(currentVout(), &timing);
    std::vector<olm_vout_presentation> history(256);
    uint32_t count = 0;
    olm_vout_get_presentations(currentVout(), history.data(), uint32_t(history.size()), &count);
    history.resize(count);
    olm_vout_destroy(&g_vout);

    run.shownPerSecond = stats.presented / kSeconds;
    run.cpuMsPerShown = stats.presented ? cpu / stats.presented : 0;
    run.missed = timing.missed_refreshes;
    run.p50Ms = timing.latency_p50_us / 1000.0;
    run.p95Ms = timing.latency_p95_us / 1000.0;
    run.history = std::move(history);
    return run;
}

void printSideBySide(const Run& present, const Run& putImage) {
    std::printf("\n1920x1080 mpeg4 at %d ms per picture, 784x441 output, 60 Hz screen\n",
                present.intervalMs);
    std::printf("| %-36s | %10s | %10s |\n", "measure", "Present", "PutImage");
    std::printf("|%s|%s|%s|\n", std::string(38, '-').c_str(), std::string(12, '-').c_str(),
                std::string(12, '-').c_str());
    auto line = [](const char* what, double a, double b) {
        std::printf("| %-36s | %10.2f | %10.2f |\n", what, a, b);
    };
    line("pictures shown per second", present.shownPerSecond, putImage.shownPerSecond);
    line("missed refreshes", double(present.missed), double(putImage.missed));
    line("put to screen latency p50, ms", present.p50Ms, putImage.p50Ms);
    line("put to screen latency p95, ms", present.p95Ms, putImage.p95Ms);
    line("process CPU per picture shown, ms", present.cpuMsPerShown, putImage.cpuMsPerShown);
}

// One panel: a frame, a title and the plot area inside.
QRect panel(QPainter& p, const QRect& area, const QString& title) {
    p.setPen(Qt::black);
    p.drawText(area.adjusted(0, 0, 0, -area.height() + 20), Qt::AlignCenter, title);
    const QRect plot = area.adjusted(50, 24, -10, -30);
    p.drawRect(plot);
    return plot;
}

void drawIntervals(QPainter& p, const QRect& area, const Run& a, const Run& b) {
    const QRect plot = panel(p, area,
                             QString("%1 ms per picture: interval between pictures on screen (ms) "
                                     "over time (s)")
                                 .arg(a.intervalMs));
    const double maxMs = 60, spanS = kSeconds;
    p.setPen(Qt::black);
    for (int second = 0; second <= int(spanS); ++second)
        p.drawText(plot.left() + int(second / spanS * plot.width()) - 4, plot.bottom() + 18,
                   QString::number(second));
    p.setPen(Qt::gray);
    for (double ms : {16.7, 33.3, 50.0}) {
        const int y = plot.bottom() - int(ms / maxMs * plot.height());
        p.drawLine(plot.left(), y, plot.right(), y);
        p.drawText(plot.left() - 46, y + 5, QString::number(ms, 'f', 1));
    }
    for (const Run* run : {&a, &b}) {
        p.setPen(QPen(run->present ? QColor(0, 90, 200) : QColor(220, 90, 0), 2));
        const auto& h = run->history;
        for (size_t i = 1; i < h.size(); ++i) {
            const double t = (h[i].screen_us - h.front().screen_us) / 1e6;
            const double ms = (h[i].screen_us - h[i - 1].screen_us) / 1000.0;
            const int x = plot.left() + int(t / spanS * plot.width());
            const int y = plot.bottom() - int(std::min(ms, maxMs) / maxMs * plot.height());
            p.drawPoint(QPoint(std::min(x, plot.right()), y));
        }
    }
}

void drawHistogram(QPainter& p, const QRect& area, const Run& a, const Run& b) {
    const QRect plot = panel(
        p, area,
        QString("%1 ms per picture: put-to-screen latency (2 ms bins, 0-60 ms)").arg(a.intervalMs));
    constexpr int kBins = 30;
    for (const Run* run : {&a, &b}) {
        std::vector<int> bins(kBins, 0);
        for (const auto& r : run->history)
            bins[std::min(kBins - 1, int(r.latency_us / 2000))]++;
        const int most = std::max(1, *std::max_element(bins.begin(), bins.end()));
        const double binWidth = double(plot.width()) / kBins;
        const QColor colour = run->present ? QColor(0, 90, 200, 150) : QColor(220, 90, 0, 150);
        for (int i = 0; i < kBins; ++i) {
            const int h = bins[i] * (plot.height() - 4) / most;
            const int x = plot.left() + int(i * binWidth) + (run->present ? 0 : int(binWidth / 2));
            p.fillRect(QRect(x, plot.bottom() - h, int(binWidth / 2), h), colour);
        }
    }
    p.setPen(Qt::black);
    for (int ms = 0; ms <= 60; ms += 10)
        p.drawText(plot.left() + ms * plot.width() / 60 - 8, plot.bottom() + 18,
                   QString::number(ms));
}

void drawPicture(const std::vector<Run>& runs, const QString& file) {
    QImage image(1400, 900, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.drawText(QRect(0, 0, image.width(), 24), Qt::AlignCenter,
               "olm_vout timing, 1080p playback on a 60 Hz screen: blue Present, orange PutImage");
    for (int col = 0; col < 2; ++col) {
        const Run& a = runs[size_t(2 * col)];
        const Run& b = runs[size_t(2 * col + 1)];
        drawIntervals(p, QRect(col * 700, 30, 700, 430), a, b);
        drawHistogram(p, QRect(col * 700, 470, 700, 420), a, b);
    }
    p.end();
    QDir().mkpath(QFileInfo(file).path());
    if (!image.save(file))
        std::fprintf(stderr, "could not write %s\n", qPrintable(file));
    else
        std::printf("\ntiming plot: %s\n", qPrintable(file));
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv); // fonts for the plot's text
    const std::string path = bench::hdBenchFile();
    if (path.empty()) {
        std::fprintf(stderr, "could not generate the benchmark file with ffmpeg\n");
        return 1;
    }
    const uint32_t host = createPlainWindow(784, 441);
    std::fflush(stdout);
    if (!freopen("/dev/null", "w", stderr)) // FFmpeg describes each file it opens
        return 1;
    std::vector<Run> runs;
    for (int interval : {20, 40})
        for (bool present : {true, false})
            runs.push_back(play(path, host, interval, present));
    destroyPlainWindow(host);
    printSideBySide(runs[0], runs[1]);
    printSideBySide(runs[2], runs[3]);
    if (!runs[0].present)
        std::printf("(the server offers no Present: both columns are PutImage)\n");
    // A picture converted as it arrives goes out for the next refresh the server will give it.
    // The server's own latency for a ready pixmap presented at the same spread of moments is the
    // least any client gets (Xvfb's fake refresh counts a refresh as begun half a period early, so
    // a pixmap sent in the second half of a period waits for the one after); olm_vout adds its
    // conversion, about 2.5 ms with the decoder beside it.
    const bench::ServerLatency server = bench::serverPresentLatency(200, 1'000'000 / 60);
    bench::header("Present at 60 Hz, 1080p at 50 pictures/s into 784x441: put call to screen");
    bench::row("latency p50", runs[0].p50Ms, "ms", "");
    bench::row("latency p95", runs[0].p95Ms, "ms", "");
    bench::row("the server's own latency for a ready pixmap, p50", server.p50Ms, "ms", "");
    bench::row("the server's own latency for a ready pixmap, p95", server.p95Ms, "ms", "");
    bench::row("olm_vout's share of p50 (its latency minus the server's)",
               runs[0].p50Ms - server.p50Ms, "ms", "<= 2.7");
    bench::row("olm_vout's share of p95", runs[0].p95Ms - server.p95Ms, "ms", "<= 2.7");
    const int missed = bench::finish();
    drawPicture(runs, QString(LUMIVAREX_BENCH_MEDIA) + "/bench/timing.png");
    return missed;
}
