#include "ui/notify/led_vibrator.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace zul {

std::string LedVibrator::PathFromEnvironment() {
    const char* value = std::getenv("ZUL_VIBRATOR_LED");
    if (value == nullptr || *value == '\0') return {};
    const std::string led(value);
    if (led.front() == '/') return led;
    // A LED name: one folder of the class, never a way out of it.
    if (led.find('/') != std::string::npos || led == "." || led == "..") return {};
    return "/sys/class/leds/" + led + "/brightness";
}

void LedVibrator::Set(bool on) const {
    if (path_.empty()) return;
    // Never created: a LED that is not there stays absent.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return;
    const char value = on ? '1' : '0';
    [[maybe_unused]] const ssize_t written = ::write(fd, &value, 1);
    ::close(fd);
}

}  // namespace zul
