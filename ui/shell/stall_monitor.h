// A watch on the window thread, for benchmarks and diagnosis: how long the thread went without
// coming back to its event loop. Off unless ZUL_STALL_LOG names a file.
//
// The window thread stamps a heartbeat from a 2 ms timer; a watcher thread looks every
// millisecond at how old the stamp is. A stall is the age of the stamp when the next one comes.
// The file is rewritten every second (and at the end) with one line:
//   "window_stall longest_ms=L p99_ms=P beats=N"
#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace zul {

class StallMonitor : public QObject {
    Q_OBJECT
  public:
    // A monitor writing to the file ZUL_STALL_LOG names, or none when it is not set.
    static std::unique_ptr<StallMonitor> FromEnvironment();
    explicit StallMonitor(std::string path);
    ~StallMonitor() override;

    // What has been measured so far.
    int64_t LongestMs() const { return longestMs_.load(); }
    int64_t P99Ms() const;
    void WriteFile() const;

  private:
    void Beat();
    void Watch();

    std::string path_;
    QTimer beatTimer_;
    std::atomic<int64_t> lastBeatUs_{0};
    std::atomic<int64_t> longestMs_{0};
    std::atomic<bool> stopping_{false};
    // Gaps between beats by whole milliseconds; the last bucket holds everything longer.
    std::array<std::atomic<uint64_t>, 1001> gaps_{};
    std::thread watcher_;
};

}  // namespace zul
