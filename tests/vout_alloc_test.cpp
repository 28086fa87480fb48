// olm_vout when memory runs out: this program replaces the global allocation functions, which the
// library's C++ code uses too, and makes chosen allocations fail. No exception may cross the C
// functions or end the render thread, and nothing may leak (LeakSanitizer checks at exit).

#include "eventually.h"
#include "olm_vout.h"
#include "vout_helpers.h"
#include "xhelpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

// The allocation after this many more fails (once); negative: none.
std::atomic<long> g_failCountdown{-1};
// Allocations larger than this fail, every time.
std::atomic<size_t> g_failAbove{SIZE_MAX};

bool shouldFail(size_t size) {
    if (size > g_failAbove.load(std::memory_order_relaxed))
        return true;
    return g_failCountdown.load(std::memory_order_relaxed) >= 0 &&
           g_failCountdown.fetch_sub(1, std::memory_order_relaxed) == 0;
}

} // namespace

void* operator new(size_t size) {
    if (shouldFail(size))
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void* operator new(size_t size, std::align_val_t align) {
    const size_t a = size_t(align);
    if (shouldFail(size))
        throw std::bad_alloc();
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
    std::free(p);
}
// The nothrow forms too: a sanitizer runtime defines its own, which must not pair with ours.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size, align);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}

TEST(VoutOutOfMemory, CreateFailsCleanlyWhereverAnAllocationFails) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr);
    const uint32_t host = createPlainWindow(320, 240);
    const int descriptors = openDescriptors();
    olm_vout_params params{};
    params.window = host;
    int failures = 0;
    // Fail the first allocation, then the second, and so on, until create needs no more.
    for (long n = 0; n < 1000; ++n) {
        testing::internal::CaptureStderr();
        g_failCountdown = n;
        olm_vout_t* vout = olm_vout_create(&params);
        const bool failureHit = g_failCountdown.exchange(-1) < 0;
        const std::string err = testing::internal::GetCapturedStderr();
        if (vout) {
            EXPECT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
        } else {
            ++failures;
            EXPECT_TRUE(failureHit) << "allocation " << n << ": " << err;
            EXPECT_EQ(err.rfind("olm_vout: ", 0), 0u) << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        }
        EXPECT_EQ(openDescriptors(), descriptors) << "after failing allocation " << n;
        EXPECT_TRUE(childWindows(host).empty()) << "after failing allocation " << n;
        if (!failureHit)
            break; // create made fewer than n allocations: every one has been failed once
    }
    EXPECT_GT(failures, 0);
    destroyPlainWindow(host);
}

TEST(VoutOutOfMemory, PutAndTheRenderThreadSurviveAllocationFailures) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr);
    const uint32_t host = createPlainWindow(320, 240);
    olm_vout_params params{};
    params.window = host;
    olm_vout_t* vout = olm_vout_create(&params);
    ASSERT_NE(vout, nullptr);
    const TestPicture big(1920, 1080, 180, 128, 128), medium(560, 315, 180, 128, 128);
    const TestPicture small(64, 48, 81, 90, 240);
    std::atomic<int> released{0};
    auto release = [](void* n) { static_cast<std::atomic<int>*>(n)->fetch_add(1); };

    // No buffer for a copy: put says so and keeps nothing.
    g_failAbove = 64 * 1024;
    olm_vout_picture copied = big.record;
    EXPECT_EQ(olm_vout_put_picture(vout, &copied), OLM_VOUT_E_NO_MEMORY);
    EXPECT_EQ(statsOf(vout).put, 0u);
    // Borrowed planes shown at more than half their size need no buffer in put, but scaling them
    // does: the render thread skips the picture and lives on.
    olm_vout_picture borrowed = medium.record;
    borrowed.release = release;
    borrowed.opaque = &released;
    ASSERT_EQ(olm_vout_put_picture(vout, &borrowed), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] { return statsOf(vout).dropped == 1; }));
    EXPECT_EQ(statsOf(vout).presented, 0u);

    g_failAbove = SIZE_MAX;
    olm_vout_picture again = borrowed;
    ASSERT_EQ(olm_vout_put_picture(vout, &again), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] { return statsOf(vout).presented == 1; }));
    EXPECT_TRUE(eventually([&] {
        return near(grabWindow(host).at(160, 120), {192, 192, 192}, 8);
    })) << toString(grabWindow(host).at(160, 120));
    // The questions a monitor asks need no memory of their own.
    g_failAbove = 0;
    olm_vout_timing timing{};
    timing.struct_size = sizeof timing;
    EXPECT_EQ(olm_vout_get_timing(vout, &timing), OLM_VOUT_OK);
    EXPECT_GT(timing.latency_p50_us, 0u);
    olm_vout_presentation records[4];
    uint32_t count = 0;
    EXPECT_EQ(olm_vout_get_presentations(vout, records, 4, &count), OLM_VOUT_OK);
    EXPECT_EQ(count, 1u);
    olm_vout_stats stats{};
    EXPECT_EQ(olm_vout_get_stats(vout, &stats), OLM_VOUT_OK);
    g_failAbove = SIZE_MAX;

    // A redraw that runs out of memory (scaling to the new size) is tried again until it is done,
    // with no new picture.
    g_failAbove = 64 * 1024;
    resizeWindow(host, 640, 480);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_failAbove = SIZE_MAX;
    EXPECT_TRUE(eventually([&] {
        return near(grabWindow(host).at(600, 400), {192, 192, 192}, 8);
    })) << toString(grabWindow(host).at(600, 400));

    // Taking in events may need memory too (a new window above the host): running out then never
    // ends the program, and the output goes on.
    const uint32_t frame = createPlainWindow(700, 500);
    g_failAbove = 0;
    reparentWindow(host, frame);
    setMapped(host, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_failAbove = SIZE_MAX;
    ASSERT_EQ(olm_vout_put_picture(vout, &small.record), OLM_VOUT_OK);
    EXPECT_TRUE(eventually([&] {
        return near(grabWindow(host).at(320, 240), {255, 0, 0}, 8);
    })) << toString(grabWindow(host).at(320, 240));

    ASSERT_EQ(olm_vout_destroy(&vout), OLM_VOUT_OK);
    EXPECT_EQ(released.load(), 2) << "every accepted picture is released, drawn or not";
    destroyPlainWindow(frame);
}
