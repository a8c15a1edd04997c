// Time, sleep and random numbers as the rest of the core expects them from the device.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zul {

// Milliseconds since an arbitrary start, 32 bits wide; it wraps like the handheld's tick.
uint32_t GetTick();

void SleepMs(uint32_t ms);
// Sleeps like SleepMs, but ends early when `fd` turns readable (true then; -1 watches
// nothing). A replaced sleep (SetSleepFunction) replaces this one too, and it sees no `fd`.
bool SleepMsWatching(uint32_t ms, int fd);

// Tests replace the clock: the tick source and the sleep. Passing nullptr restores the real
// ones. The replacements must be thread-safe.
using TickSource = uint32_t (*)();
using SleepFunction = void (*)(uint32_t ms);
void SetTickSource(TickSource source);
void SetSleepFunction(SleepFunction sleep);

// Fills the buffer from the kernel's random generator. Never fails silently: falls back to
// a seeded generator only if the kernel refuses, which it does not on supported systems.
void RandomBytes(void* out, size_t n);
uint32_t Random32();
uint16_t Random16();
// Tests replace the random source to force a choice (nullptr restores the kernel's).
using RandomSource = void (*)(void* out, size_t n);
void SetRandomSource(RandomSource source);

}  // namespace zul
