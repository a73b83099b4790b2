#pragma once
// The millisecond tick counter and the blocking sleep. Both can be replaced for tests, so that no
// test waits for real time.
#include <cstdint>
#include <functional>

std::uint64_t TickCount64();
void SleepMilliseconds(std::uint64_t milliseconds);

// Replaces the tick source or the sleeper; an empty function restores the real one.
void SetTickSource(std::function<std::uint64_t()> source);
void SetSleeper(std::function<void(std::uint64_t)> sleeper);
