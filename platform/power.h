// Stand-ins for the handheld's power manager.
#pragma once

namespace zul {

// Keep-running (unattended) notification around blocking network steps. Nested calls are
// counted process-wide; the shell may attach a sleep inhibitor to the outermost level.
void KeepRunningOn();
void KeepRunningOff();
int KeepRunningDepth();

// Called with true when the count leaves 0 and false when it returns to 0.
using KeepRunningHook = void (*)(bool running);
void SetKeepRunningHook(KeepRunningHook hook);

// RAII form: on for the lifetime of the object.
class KeepRunningScope {
  public:
    KeepRunningScope() { KeepRunningOn(); }
    ~KeepRunningScope() { KeepRunningOff(); }
    KeepRunningScope(const KeepRunningScope&) = delete;
    KeepRunningScope& operator=(const KeepRunningScope&) = delete;
};

// Whether the device's power state is "on" (screen on). Always true unless a test says
// otherwise.
bool DevicePowerOn();
void SetDevicePowerOn(bool on);

}  // namespace zul
