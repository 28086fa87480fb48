#include "wayland_screen.h"

#include "screen/x_screen.h"
#include "wayland_capture.h"

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

QImage WaylandScreen::capture(uint32_t host) const {
    const QRect rect = rectOf(host);
    const QImage output = captureWaylandOutput();
    if (output.isNull() || rect.isEmpty() || !output.rect().contains(rect))
        return {};
    return output.copy(rect);
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
