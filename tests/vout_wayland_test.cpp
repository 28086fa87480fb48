// olm_vout on a Wayland compositor (a private headless Weston): pictures are checked by reading
// the compositor's pixels back.

#include "eventually.h"
#include "olm_vout.h"
#include "vout_helpers.h"
#include "wayland_host.h"
#include "wayland_screen.h"

#include <gtest/gtest.h>

TEST(VoutWayland, HostSurfaceShowsAtTheOrigin) {
    WaylandHost host(0x2040c0);
    ASSERT_TRUE(host.ready());
    EXPECT_TRUE(eventually([&] {
        const Snapshot s = grabWaylandScreen();
        return s.width == host.width() && near(s.at(10, 10), {0x20, 0x40, 0xc0}, 2) &&
               near(s.at(s.width - 1, s.height - 1), {0x20, 0x40, 0xc0}, 2);
    }));
}
