#include "wayland_screen.h"

#include "screen/x_screen.h"
#include "wayland_capture.h"

#include <algorithm>
#include <chrono>
#include <thread>

WaylandScreen::WaylandScreen() : surface_(kWaylandSurfaceRgb) {}

uint32_t WaylandScreen::addHost(const QRect& rect) {
    const uint32_t id = nextId_++;
    hosts_[id] = rect;
    surface_.paint(rect.x(), rect.y(), rect.width(), rect.height(), kHostBackground & 0xffffff);
    surface_.commit();
    return id;
}

QRect WaylandScreen::rectOf(uint32_t host) const {
    const auto it = hosts_.find(host);
    return it != hosts_.end() ? it->second : QRect();
}

void WaylandScreen::setRect(uint32_t host, const QRect& rect) {
    const QRect old = rectOf(host);
    surface_.paint(old.x(), old.y(), old.width(), old.height(), kWaylandSurfaceRgb);
    hosts_[host] = rect;
    surface_.paint(rect.x(), rect.y(), rect.width(), rect.height(), kHostBackground & 0xffffff);
}

void WaylandScreen::removeHost(uint32_t host) {
    const QRect old = rectOf(host);
    surface_.paint(old.x(), old.y(), old.width(), old.height(), kWaylandSurfaceRgb);
    hosts_.erase(host);
}

QImage WaylandScreen::captureNative(uint32_t host) const {
    const QRect rect = rectOf(host);
    const QImage output = captureWaylandOutput();
    if (output.isNull() || rect.isEmpty() || surface_.width() <= 0)
        return {};
    // The screenshot is in the output's pixels, the surface (fullscreen) in logical ones.
    scale_ = std::max(1, (output.width() + surface_.width() / 2) / surface_.width());
    const QRect native(rect.topLeft() * scale_, rect.size() * scale_);
    if (!output.rect().contains(native))
        return {};
    return output.copy(native).convertToFormat(QImage::Format_RGB32);
}

QImage WaylandScreen::capture(uint32_t host) const {
    const QImage native = captureNative(host);
    if (native.isNull() || scale_ == 1)
        return native;
    const int n = scale_, area = n * n;
    QImage logical(native.width() / n, native.height() / n, QImage::Format_RGB32);
    for (int y = 0; y < logical.height(); ++y) {
        auto* out = reinterpret_cast<QRgb*>(logical.scanLine(y));
        for (int x = 0; x < logical.width(); ++x) {
            int r = 0, g = 0, b = 0;
            for (int dy = 0; dy < n; ++dy) {
                const auto* in = reinterpret_cast<const QRgb*>(native.constScanLine(y * n + dy));
                for (int dx = 0; dx < n; ++dx) {
                    r += qRed(in[x * n + dx]);
                    g += qGreen(in[x * n + dx]);
                    b += qBlue(in[x * n + dx]);
                }
            }
            out[x] = qRgb((r + area / 2) / area, (g + area / 2) / area, (b + area / 2) / area);
        }
    }
    return logical;
}

std::string WaylandScreen::checkReadBack(uint32_t host, int timeoutMs) {
    const QRect r = rectOf(host);
    const int halfW = r.width() / 2, halfH = r.height() / 2;
    const struct {
        QRgb colour;
        QRect rect; // in the host
    } quadrants[] = {
        {qRgb(255, 0, 0), QRect(0, 0, halfW, halfH)},
        {qRgb(0, 255, 0), QRect(halfW, 0, r.width() - halfW, halfH)},
        {qRgb(0, 0, 255), QRect(0, halfH, halfW, r.height() - halfH)},
        {qRgb(255, 255, 255), QRect(halfW, halfH, r.width() - halfW, r.height() - halfH)},
    };
    for (const auto& q : quadrants)
        surface_.paint(r.x() + q.rect.x(), r.y() + q.rect.y(), q.rect.width(), q.rect.height(),
                       q.colour & 0xffffff);
    surface_.commit();
    std::string problem =
        "the compositor's output could not be read (weston-screenshooter or grim)";
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        const QImage shot = capture(host);
        if (shot.isNull())
            continue;
        problem.clear();
        for (const auto& q : quadrants)
            for (int y = q.rect.top(); y <= q.rect.bottom() && problem.empty(); ++y)
                for (int x = q.rect.left(); x <= q.rect.right(); ++x)
                    if ((shot.pixel(x, y) | 0xff000000u) != q.colour) {
                        problem = "a painted rectangle read back wrong at (" + std::to_string(x) +
                                  "," + std::to_string(y) + ")";
                        break;
                    }
        if (problem.empty())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < end);
    surface_.paint(r.x(), r.y(), r.width(), r.height(), kHostBackground & 0xffffff);
    surface_.commit();
    // Unlike X's, the compositor's screen follows a commit only at its next repaint: wait for the
    // magenta, so that the check's first look does not see the pattern.
    for (auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
         std::chrono::steady_clock::now() < until;) {
        const QImage shot = capture(host);
        if (!shot.isNull() && shot.pixel(r.width() / 2, r.height() / 2) == kHostBackground)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return problem;
}
