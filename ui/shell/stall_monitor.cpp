#include "ui/shell/stall_monitor.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace zul {
namespace {

int64_t NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::unique_ptr<StallMonitor> StallMonitor::FromEnvironment() {
    const char* path = std::getenv("ZUL_STALL_LOG");
    if (path == nullptr || *path == '\0') return nullptr;
    return std::make_unique<StallMonitor>(path);
}

StallMonitor::StallMonitor(std::string path) : path_(std::move(path)) {
    lastBeatUs_.store(NowUs());
    beatTimer_.setTimerType(Qt::PreciseTimer);
    connect(&beatTimer_, &QTimer::timeout, this, &StallMonitor::Beat);
    beatTimer_.start(2);
    watcher_ = std::thread([this] { Watch(); });
}

StallMonitor::~StallMonitor() {
    stopping_.store(true);
    if (watcher_.joinable()) watcher_.join();
    WriteFile();
}

void StallMonitor::Beat() {
    const int64_t now = NowUs();
    const int64_t gapMs = (now - lastBeatUs_.exchange(now)) / 1000;
    const size_t bucket = gapMs < 0 ? 0 : std::min<size_t>(static_cast<size_t>(gapMs), 1000);
    gaps_[bucket].fetch_add(1);
}

void StallMonitor::Watch() {
    int64_t lastWrite = NowUs();
    while (!stopping_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int64_t now = NowUs();
        const int64_t age = (now - lastBeatUs_.load()) / 1000;
        int64_t longest = longestMs_.load();
        while (age > longest && !longestMs_.compare_exchange_weak(longest, age)) {
        }
        if (now - lastWrite >= 1000000) {
            WriteFile();
            lastWrite = now;
        }
    }
}

int64_t StallMonitor::P99Ms() const {
    uint64_t total = 0;
    for (const auto& g : gaps_) total += g.load();
    if (total == 0) return 0;
    const uint64_t wanted = total - total / 100;
    uint64_t seen = 0;
    for (size_t ms = 0; ms < gaps_.size(); ++ms) {
        seen += gaps_[ms].load();
        if (seen >= wanted) return static_cast<int64_t>(ms);
    }
    return static_cast<int64_t>(gaps_.size() - 1);
}

void StallMonitor::WriteFile() const {
    uint64_t beats = 0;
    for (const auto& g : gaps_) beats += g.load();
    const std::string temporary = path_ + ".part";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return;
    std::fprintf(file, "window_stall longest_ms=%lld p99_ms=%lld beats=%llu\n",
                 static_cast<long long>(LongestMs()), static_cast<long long>(P99Ms()),
                 static_cast<unsigned long long>(beats));
    std::fclose(file);
    std::rename(temporary.c_str(), path_.c_str());
}

}  // namespace zul
