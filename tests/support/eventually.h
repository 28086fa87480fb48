#pragma once

// Polls until check() holds or the time is up. Output, render and worker threads work on their
// own schedule, so tests wait for what they expect to see instead of sleeping a fixed time.

#include <chrono>
#include <functional>
#include <thread>

inline bool eventually(const std::function<bool()>& check, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (check())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return check();
}
