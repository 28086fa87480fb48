#pragma once

// State shared between the GUI thread and the worker threads. Every value is read and written
// atomically, so a flag set by one thread is seen by the other without a lock.

#include "olm_vout.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <optional>

// The video output, null while none exists. A plain pointer, because olm_vout_destroy takes
// its address and clears it with an atomic store; everyone else goes through the helpers.
extern olm_vout_t* g_vout;
inline olm_vout_t* currentVout() {
    return std::atomic_ref<olm_vout_t*>(g_vout).load(std::memory_order_acquire);
}
inline void setCurrentVout(olm_vout_t* vout) {
    std::atomic_ref<olm_vout_t*>(g_vout).store(vout, std::memory_order_release);
}

// Pause after each picture and between statistics ticks, in milliseconds.
extern std::atomic<int32_t> g_frameIntervalMs;

// Playback thread: pause toggle, stop request and the thread itself (GUI thread only).
extern std::atomic<bool> g_paused;
extern std::atomic<bool> g_stopPlayback;
extern std::optional<pthread_t> g_playbackThread;

// Statistics thread: keeps running while the flag is true.
extern std::atomic<bool> g_statsRunning;
extern std::optional<pthread_t> g_statsThread;

// Ends a worker if one is held: stores value into its flag, joins it without a time limit and
// empties the handle. Nothing happens, the flag included, when no worker is held.
void endWorker(std::optional<pthread_t>& worker, std::atomic<bool>& flag, bool value);

// Sleeps for the given number of milliseconds (nothing for zero or less).
void sleepMs(int32_t ms);
