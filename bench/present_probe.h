#pragma once

// The X server's own Present latency, as a reference for olm_vout's: a plain client presents a
// ready pixmap at moments spread evenly over the refresh period, as pictures arrive from a
// decoder, and measures the time from the request to the completion the server reports. No
// client can present sooner; what olm_vout adds beyond it is its own work.

#include "bench_util.h"

#include <xcb/present.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace bench {

struct ServerLatency {
    double p50Ms = 0, p95Ms = 0;
    int samples = 0;
};

inline ServerLatency serverPresentLatency(int presentations, int periodUs) {
    ServerLatency result;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const xcb_query_extension_reply_t* present = xcb_get_extension_data(c, &xcb_present_id);
    if (xcb_connection_has_error(c) || !present || !present->present) {
        xcb_disconnect(c);
        return result;
    }
    std::free(xcb_present_query_version_reply(c, xcb_present_query_version(c, 1, 2), nullptr));
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 64, 64, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    xcb_map_window(c, window);
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, pixmap, window, 64, 64);
    xcb_present_select_input(c, xcb_generate_id(c), window, XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    std::mt19937 random(7); // the same moments every run
    std::uniform_int_distribution<int> phase(0, periodUs);
    std::vector<double> latencies;
    for (uint32_t serial = 1; serial <= uint32_t(presentations); ++serial) {
        sleepMicroseconds(phase(random));
        const int64_t sent = int64_t(bench::Clock::now().time_since_epoch().count() / 1000);
        xcb_present_pixmap(c, window, pixmap, serial, 0, 0, 0, 0, 0, 0, 0, XCB_PRESENT_OPTION_NONE,
                           0, 0, 0, 0, nullptr);
        xcb_flush(c);
        while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
            auto* done = reinterpret_cast<xcb_present_complete_notify_event_t*>(event);
            const bool ours = (event->response_type & 0x7f) == XCB_GE_GENERIC &&
                              done->event_type == XCB_PRESENT_COMPLETE_NOTIFY &&
                              done->serial == serial;
            // The server's clock is CLOCK_MONOTONIC, as steady_clock is here.
            if (ours)
                latencies.push_back((int64_t(done->ust) - sent) / 1000.0);
            std::free(event);
            if (ours)
                break;
        }
    }
    xcb_disconnect(c);
    result.p50Ms = percentile(latencies, 50);
    result.p95Ms = percentile(latencies, 95);
    result.samples = int(latencies.size());
    return result;
}

} // namespace bench
