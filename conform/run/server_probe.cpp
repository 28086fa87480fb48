#include "run/server_probe.h"

#include "screen/x_screen.h"

namespace {

ServerInfo describeServer(const XConnection& x, const std::string& display) {
    ServerInfo info;
    const xcb_setup_t* setup = xcb_get_setup(x.get());
    info.display = display;
    info.vendor.assign(xcb_setup_vendor(setup), xcb_setup_vendor_length(setup));
    info.protocol = std::to_string(setup->protocol_major_version) + "." +
                    std::to_string(setup->protocol_minor_version);
    info.release = setup->release_number;
    info.depth = x.screen()->root_depth;
    return info;
}

} // namespace

bool probeServer(const std::string& display, double timeoutFactor, ServerInfo* info) {
    XConnection x;
    if (!x.ok())
        return false;
    *info = describeServer(x, display);
    const xcb_window_t probe =
        createHostWindow(x, 0, 0, 64, 48, static_cast<int>(2000 * timeoutFactor));
    info->readBackProblem = probe ? checkReadBack(x, probe) : "no window could be shown";
    return true;
}
