// Hostile and odd files through the play button: each ends with one of the described messages
// or plays what can be played; none crashes or hangs, and nothing reaches the network.

#include "lumivarexwindow.h"
#include "media.h"
#include "shared_state.h"
#include "stream_capture.h"
#include "window_driver.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

namespace {

const char* const kFailures[] = {"avformat open failed.\n",
                                 "could not fine stream.\n",
                                 "videoindex=",
                                 "could not find audio decoder!\n",
                                 "could not open audio codec!\n",
                                 "could not find video decoder!\n",
                                 "could not open video codec!\n"};

int failureLines(const std::string& err) {
    int count = 0;
    for (const char* line : kFailures)
        for (size_t at = err.find(line); at != std::string::npos; at = err.find(line, at + 1))
            ++count;
    return count;
}

std::string bytesOf(const std::string& path, size_t limit = std::string::npos) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    return bytes.substr(0, limit);
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string randomBytes(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes)
        c = char(random());
    return bytes;
}

// Counts connections to a loopback port: the stand-in for the network.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_, 8);
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            for (int peer; (peer = accept(fd_, nullptr, nullptr)) >= 0; close(peer))
                connections_++;
        });
    }
    ~Listener() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    int port() const { return port_; }
    int connections() const { return connections_; }

private:
    int fd_, port_ = 0;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

} // namespace

class HostileInputTest : public QObject {
    Q_OBJECT

    std::string valid_;
    LumivarexWindow* window_ = nullptr;

    using Until = std::function<bool(const std::string& err)>;

    // Plays name until `until` holds for what was said on standard error so far (it must, within
    // a generous deadline); then stops, which must be prompt. Returns what was said.
    std::string playThenStop(const QString& name, const Until& until, BoxSeen* box = nullptr) {
        StreamCapture err(STDERR_FILENO);
        setFileName(*window_, name);
        const BoxSeen seen = clickButton(*window_, "play_btn");
        if (box)
            *box = seen;
        [&] { QTRY_VERIFY_WITH_TIMEOUT(until(err.text()), 20000); }();
        QElapsedTimer timer;
        timer.start();
        clickButton(*window_, "stop_btn");
        if (timer.elapsed() > 2000)
            qWarning("stop took %lld ms", timer.elapsed());
        [&] { QVERIFY(timer.elapsed() < 2000); }();
        [&] { QVERIFY(!g_playbackThread); }();
        return err.text();
    }

    // Conditions to play until: some pictures shown; the thread's failure line said; the input
    // opened (FFmpeg's description of it printed), or else its failure line.
    static Until picturesAfter(unsigned long long before) {
        return [before](const std::string&) { return picturesPut() > before; };
    }
    static bool failed(const std::string& err) { return failureLines(err) > 0; }
    static bool openedOrFailed(const std::string& err) {
        return err.find("Input #0") != std::string::npos || failed(err);
    }

private slots:
    void initTestCase() {
        valid_ = makeMedia("valid.avi", colourInput("red", 160, 120, 50) + " " + toneInput(2) +
                                            " -c:v mpeg4 -c:a mp2");
        QVERIFY(!valid_.empty());
    }

    void init() {
        window_ = new LumivarexWindow;
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_));
        clickButton(*window_, "create_window_btn");
        QVERIFY(currentVout());
    }

    void cleanup() {
        delete window_;
        window_ = nullptr;
        QCOMPARE(currentVout(), nullptr);
    }

    void brokenFilesEndWithOneMessageOrPlayWhatTheyCan() {
        const std::string full = bytesOf(valid_);
        const std::string dir = mediaDir();
        writeFile(dir + "/empty.avi", "");
        writeFile(dir + "/cut-1.avi", full.substr(0, full.size() / 100));
        writeFile(dir + "/cut-50.avi", full.substr(0, full.size() / 2));
        writeFile(dir + "/header-then-noise.avi", full.substr(0, 4096) + randomBytes(200000, 1));
        writeFile(dir + "/noise.avi", randomBytes(100000, 2));
        // What each file does is known: the lines it prints and whether pictures come out.
        struct Case {
            const char* name;
            int failureLines;
            bool plays;
        };
        for (const Case& c : {Case{"empty.avi", 1, false},
                              {"cut-1.avi", 1, false},
                              {"cut-50.avi", 0, true},
                              {"header-then-noise.avi", 0, false}, // opens, holds no picture
                              {"noise.avi", 1, false}}) {
            const unsigned long long before = picturesPut();
            const Until until = c.plays          ? picturesAfter(before)
                                : c.failureLines ? Until(failed)
                                                 : Until(openedOrFailed);
            const std::string err = playThenStop(QString::fromStdString(dir + "/" + c.name), until);
            const unsigned long long played = picturesPut() - before;
            QVERIFY2(failureLines(err) == c.failureLines, (c.name + (": " + err)).c_str());
            QVERIFY2((played > 0) == c.plays, c.name);
        }
    }

    void thingsThatAreNotRegularFilesShowTheBox() {
        const std::string fifo = mediaDir() + "/pipe.avi";
        unlink(fifo.c_str());
        QCOMPARE(mkfifo(fifo.c_str(), 0600), 0);
        for (const std::string& name : {fifo, std::string("/dev/zero")}) {
            BoxSeen box;
            playThenStop(
                QString::fromStdString(name), [](const std::string&) { return true; }, &box);
            QCOMPARE(box.count, 1);
            QCOMPARE(box.text, QString("Cannot find file"));
        }
    }

    void unreadableFileFailsWithItsMessage() {
        // /proc/self/mem is a regular file whose first bytes cannot be read, even by root.
        const std::string err = playThenStop("/proc/self/mem", failed);
        QCOMPARE(failureLines(err), 1);
    }

    void oddCharactersInTheNamePlay() {
        const std::string name = mediaDir() + "/my \"odd\" 'film' é ✓.avi";
        writeFile(name, bytesOf(valid_));
        const unsigned long long before = picturesPut();
        const std::string err = playThenStop(QString::fromStdString(name), picturesAfter(before));
        QCOMPARE(failureLines(err), 0);
    }

    void playlistsAndAddressLikeNamesStayLocal() {
        Listener network;
        const std::string url = "http://127.0.0.1:" + std::to_string(network.port());
        const std::string m3u = mediaDir() + "/list.m3u8";
        writeFile(m3u, "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + url +
                           "/a.ts\n#EXT-X-ENDLIST\n");
        const std::string m3uPlain = mediaDir() + "/list.m3u";
        writeFile(m3uPlain, "#EXTM3U\n#EXTINF:10,remote\n" + url + "/b.avi\n");
        for (const std::string& name : {m3u, m3uPlain}) {
            const std::string err = playThenStop(QString::fromStdString(name), openedOrFailed);
            QVERIFY2(failureLines(err) <= 1, name.c_str());
        }
        // A local file whose relative name reads as an address plays as that file.
        const QString address = QString("tcp:127.0.0.1:%1").arg(network.port());
        writeFile(mediaDir() + "/" + address.toStdString(), bytesOf(valid_));
        const QString previous = QDir::currentPath();
        QDir::setCurrent(QString::fromStdString(mediaDir()));
        playThenStop(address, picturesAfter(picturesPut()));
        QDir::setCurrent(previous);
        QCOMPARE(network.connections(), 0);
    }
};

QTEST_MAIN(HostileInputTest)
#include "hostile_input_test.moc"
