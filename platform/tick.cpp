#include "platform/tick.h"

#include <poll.h>
#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

namespace zul {

namespace {
std::atomic<TickSource> g_tickSource{nullptr};
std::atomic<SleepFunction> g_sleep{nullptr};
std::atomic<RandomSource> g_random{nullptr};
}  // namespace

void SetTickSource(TickSource source) {
    g_tickSource.store(source);
}
void SetSleepFunction(SleepFunction sleep) {
    g_sleep.store(sleep);
}

uint32_t GetTick() {
    if (TickSource source = g_tickSource.load()) return source();
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
    if (SleepFunction sleep = g_sleep.load()) return sleep(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool SleepMsWatching(uint32_t ms, int fd) {
    if (fd < 0 || g_sleep.load() != nullptr) {
        SleepMs(ms);
        return false;
    }
    pollfd p{};
    p.fd = fd;
    p.events = POLLIN;
    int r;
    do {
        r = poll(&p, 1, static_cast<int>(ms));
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

void SetRandomSource(RandomSource source) {
    g_random.store(source);
}

void RandomBytes(void* out, size_t n) {
    if (RandomSource source = g_random.load()) return source(out, n);
    auto* p = static_cast<unsigned char*>(out);
    size_t done = 0;
    while (done < n) {
        ssize_t r = getrandom(p + done, n - done, 0);
        if (r > 0) {
            done += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            thread_local std::mt19937 fallback{std::random_device{}()};
            for (; done < n; ++done) p[done] = static_cast<unsigned char>(fallback());
        }
    }
}

uint32_t Random32() {
    uint32_t v;
    RandomBytes(&v, sizeof v);
    return v;
}

uint16_t Random16() {
    uint16_t v;
    RandomBytes(&v, sizeof v);
    return v;
}

}  // namespace zul
