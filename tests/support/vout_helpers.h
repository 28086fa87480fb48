#pragma once

// Helpers around olm_vout's C interface for the GoogleTest suites: outputs made with chosen
// environment switches, counters, open descriptors, and pictures for olm_vout_put_picture.
// Header-only, so tests linking the shared library or the static one both can use it.

#include "olm_vout.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

// An output on window; noPresent and noShm set OLM_VOUT_NO_PRESENT / OLM_VOUT_NO_SHM for the call.
inline olm_vout_t* createOn(uint32_t window, bool noPresent = false, bool noShm = false) {
    if (noPresent)
        setenv("OLM_VOUT_NO_PRESENT", "1", 1);
    if (noShm)
        setenv("OLM_VOUT_NO_SHM", "1", 1);
    olm_vout_params params{};
    params.window = window;
    params.pool_depth = 3;
    olm_vout_t* vout = olm_vout_create(&params);
    unsetenv("OLM_VOUT_NO_PRESENT");
    unsetenv("OLM_VOUT_NO_SHM");
    return vout;
}

inline olm_vout_stats statsOf(olm_vout_t* vout) {
    olm_vout_stats s{};
    EXPECT_EQ(olm_vout_get_stats(vout, &s), OLM_VOUT_OK);
    return s;
}

// Every put accounted for: nothing waits to be shown any more.
inline bool settled(olm_vout_t* vout) {
    const olm_vout_stats s = statsOf(vout);
    return s.put == s.presented + s.dropped;
}

inline int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

// A w x h picture for olm_vout_put_picture, each plane filled with one value. With padding, the
// rows of Y, U and V are padding, 2 * padding and 3 * padding bytes longer than needed, and the
// extra bytes are bright, so that a misread stride shows. Not copyable: record points into it.
struct TestPicture {
    std::vector<uint8_t> planes[3];
    olm_vout_picture record{};

    TestPicture(int w, int h, uint8_t y, uint8_t u, uint8_t v, int padding = 0) {
        const uint8_t values[3] = {y, u, v};
        record.struct_size = sizeof record;
        record.width = w;
        record.height = h;
        for (int p = 0; p < 3; ++p) {
            const int rows = p ? (h + 1) / 2 : h, used = p ? (w + 1) / 2 : w;
            const int stride = used + p * padding + padding;
            planes[p].assign(size_t(stride) * rows, 0xff);
            for (int r = 0; r < rows; ++r)
                std::fill_n(planes[p].begin() + size_t(r) * stride, used, values[p]);
            record.planes[p] = planes[p].data();
            record.strides[p] = stride;
        }
    }
    TestPicture(const TestPicture&) = delete;
    TestPicture& operator=(const TestPicture&) = delete;

    uint8_t* row(int plane, int r) {
        return planes[plane].data() + size_t(r) * record.strides[plane];
    }
    int putTo(olm_vout_t* vout) const { return olm_vout_put_picture(vout, &record); }
};
