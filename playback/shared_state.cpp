#include "shared_state.h"

#include <chrono>
#include <thread>

olm_vout_t* g_vout = nullptr;
std::atomic<int32_t> g_frameIntervalMs{20};

std::atomic<bool> g_paused{false};
std::atomic<bool> g_stopPlayback{false};
std::optional<pthread_t> g_playbackThread;

std::atomic<bool> g_statsRunning{true};
std::optional<pthread_t> g_statsThread;

void sleepMs(int32_t ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void endWorker(std::optional<pthread_t>& worker, std::atomic<bool>& flag, bool value) {
    if (!worker)
        return;
    flag.store(value, std::memory_order_release);
    pthread_join(*worker, nullptr);
    worker.reset();
}
