#include "ui/notify/system_alert_devices.h"

#include "platform/registry.h"
#include "platform/tick.h"
#include "ui/notify/feedback_haptics.h"
#include "ui/notify/sound_player.h"

namespace zul {

SystemAlertDevices::SystemAlertDevices(SoundPlayer& sound)
    : SystemAlertDevices(sound, LedVibrator(LedVibrator::PathFromEnvironment())) {}

SystemAlertDevices::SystemAlertDevices(SoundPlayer& sound, LedVibrator vibrator)
    : sound_(sound), vibrator_(std::move(vibrator)) {}

void SystemAlertDevices::PlaySound(const std::u16string& file) {
    sound_.Play(file);
}

bool SystemAlertDevices::SilentMode() {
    return ReadRegistryDword(kShellOverridesKey, kShellOverridesMode) == kSilentMode;
}

void SystemAlertDevices::SetVibrator(int device, bool on) {
    if (device == 1) vibrator_.Set(on);  // the one notification device that vibrates
}

void SystemAlertDevices::Sleep(int ms) {
    if (ms > 0) SleepMs(static_cast<uint32_t>(ms));
}

bool SystemAlertDevices::Haptic(int32_t count, int32_t duration) {
    if (haptics_ == nullptr) return false;
    const std::optional<HapticEvent> event = HapticEventForPulses(count, duration);
    return event && haptics_->Trigger(*event);
}

void SystemAlertDevices::StopHaptic() {
    if (haptics_ != nullptr) haptics_->Stop();
}

}  // namespace zul
