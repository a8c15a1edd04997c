#include "platform/wake_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace zul {

WakeSignal::WakeSignal() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
    if (fd_ >= 0) close(fd_);
}

void WakeSignal::Signal() {
    if (fd_ < 0) return;
    const uint64_t one = 1;
    // A full counter (never in practice) still reads as signalled.
    [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
}

void WakeSignal::Clear() {
    if (fd_ < 0) return;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd_, &count, sizeof count);
}

}  // namespace zul
