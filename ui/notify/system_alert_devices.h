// SystemAlertDevices: the alert's device side on this system: the sound through a
// SoundPlayer, the silent profile from the registry stand-in, the vibration through the
// haptic feedback daemon where it runs, else the vibrator as a LED.
#pragma once

#include "ui/notify/led_vibrator.h"
#include "ui/notify/message_notification.h"

namespace zul {

class FeedbackHaptics;
class SoundPlayer;

// The registry value that holds the device's notification profile; 2 is silent.
constexpr char16_t kShellOverridesKey[] = u"\\ControlPanel\\Notifications\\ShellOverrides";
constexpr char16_t kShellOverridesMode[] = u"Mode";
constexpr uint32_t kSilentMode = 2;

class SystemAlertDevices : public IAlertDevices {
  public:
    // The vibrator from ZUL_VIBRATOR_LED.
    explicit SystemAlertDevices(SoundPlayer& sound);
    SystemAlertDevices(SoundPlayer& sound, LedVibrator vibrator);

    void PlaySound(const std::u16string& file) override;
    bool SilentMode() override;
    void SetVibrator(int device, bool on) override;
    void Sleep(int ms) override;
    bool Haptic(int32_t count, int32_t duration) override;
    void StopHaptic() override;
    // The daemon that takes the vibration while it runs (null: the LED always).
    void SetHaptics(FeedbackHaptics* haptics) { haptics_ = haptics; }

  private:
    FeedbackHaptics* haptics_ = nullptr;
    SoundPlayer& sound_;
    LedVibrator vibrator_;
};

}  // namespace zul
