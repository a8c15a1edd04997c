// A descriptor another thread makes readable to wake a thread waiting in poll (with its
// sockets): a signal is kept until cleared, and many signals read as one.
#pragma once

namespace zul {

class WakeSignal {
  public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // Any thread; never waits.
    void Signal();
    // The waiting thread, once woken.
    void Clear();
    // What to poll for reading; -1 when the descriptor could not be made (then nobody is
    // woken early: the waits end at their time-outs).
    int Handle() const { return fd_; }

  private:
    int fd_ = -1;
};

}  // namespace zul
