// LedVibrator: the vibrator as a LED of the kernel's LED class, switched through its
// "brightness" file. Without a configured LED there is no vibration, silently.
#pragma once

#include <string>

namespace zul {

class LedVibrator {
  public:
    // The brightness file named by ZUL_VIBRATOR_LED: a LED name under /sys/class/leds, or
    // the path of a brightness file; "" when the variable is unset or names nothing usable.
    static std::string PathFromEnvironment();

    explicit LedVibrator(std::string brightnessPath) : path_(std::move(brightnessPath)) {}

    bool Present() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    // Writes "1" or "0"; a file that cannot be opened leaves things as they are.
    void Set(bool on) const;

  private:
    std::string path_;
};

}  // namespace zul
