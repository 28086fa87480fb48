#include "run/server_probe.h"

#include "screen/wayland_screen.h"
#include "screen/x_screen.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

// The middle of five timed looks at the probe's window, in milliseconds.
double timeOfLook(const std::function<QImage()>& look) {
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        look();
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

ServerInfo serverInfo(const XConnection& x, const std::string& display) {
    ServerInfo info;
    const xcb_setup_t* setup = xcb_get_setup(x.get());
    info.display = display;
    info.vendor.assign(xcb_setup_vendor(setup), xcb_setup_vendor_length(setup));
    info.protocol = std::to_string(setup->protocol_major_version) + "." +
                    std::to_string(setup->protocol_minor_version);
    info.release = setup->release_number;
    info.depth = x.screen()->root_depth;
    info.offersPresent = serverOffersPresent(x);
    info.offersShm = serverOffersShm(x);
    return info;
}

} // namespace

bool probeServer(const std::string& display, double timeoutFactor, ServerInfo* info) {
    XConnection x;
    if (!x.ok())
        return false;
    *info = serverInfo(x, display);
    const xcb_window_t probe =
        createHostWindow(x, 0, 0, 64, 48, static_cast<int>(2000 * timeoutFactor));
    info->readBackProblem = probe ? checkReadBack(x, probe) : "no window could be shown";
    if (info->readBackProblem.empty())
        info->lookMs = timeOfLook([&] { return captureWindow(x, probe); });
    return true;
}

bool probeCompositor(double timeoutFactor, ServerInfo* info) {
    WaylandScreen screen;
    if (!screen.ok())
        return false;
    *info = {};
    info->wayland = true;
    info->display = std::getenv("WAYLAND_DISPLAY");
    info->vendor = "Wayland compositor";
    info->depth = 24; // the tester's surface and the screenshots are 8 bits a channel
    info->offersPresentation = screen.surface().offersPresentation();
    const uint32_t probe = screen.addHost(QRect(0, 0, 64, 48));
    info->readBackProblem = screen.checkReadBack(probe, static_cast<int>(2000 * timeoutFactor));
    if (info->readBackProblem.empty())
        info->lookMs = timeOfLook([&] { return screen.capture(probe); });
    return true;
}

std::string describeServer(const ServerInfo& server) {
    if (server.wayland)
        return "Wayland compositor " + server.display;
    return "X server " + server.display + ": " + server.vendor + " release " +
           std::to_string(server.release) + ", depth " + std::to_string(server.depth);
}

double speedFactor(const ServerInfo& server) {
    // One look on this machine, unloaded: well under a millisecond on X (a window read back),
    // about 35 ms on Wayland (a screenshot of the whole output, saved and read in).
    const double usualMs = server.wayland ? 40 : 1;
    return std::clamp(server.lookMs / usualMs, 1.0, 4.0);
}
