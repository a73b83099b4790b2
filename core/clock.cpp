#include "core/clock.h"

#include <chrono>
#include <thread>

namespace {
std::function<std::uint64_t()> gTickSource;
std::function<void(std::uint64_t)> gSleeper;
}  // namespace

std::uint64_t TickCount64() {
    if (gTickSource) {
        return gTickSource();
    }
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void SleepMilliseconds(std::uint64_t milliseconds) {
    if (gSleeper) {
        gSleeper(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetTickSource(std::function<std::uint64_t()> source) {
    gTickSource = std::move(source);
}
void SetSleeper(std::function<void(std::uint64_t)> sleeper) {
    gSleeper = std::move(sleeper);
}
