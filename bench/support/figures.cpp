#include "support/figures.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace zul::bench {
namespace {

size_t StatusKilobytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::stoul(line.substr(key.size())) * 1024;
    }
    return 0;
}

}  // namespace

void PrintFigure(const Figure& f) {
    std::string line = "FIGURE " + f.name;
    char value[64];
    std::snprintf(value, sizeof value, " %.4g %s", f.value, f.unit.c_str());
    line += value;
    line += " | target " + (f.target.empty() ? std::string("none") : f.target);
    if (f.baseline) {
        char base[96];
        std::snprintf(base, sizeof base, " | baseline %.4g %s, ratio %.2f", *f.baseline,
                      f.unit.c_str(), *f.baseline > 0 ? f.value / *f.baseline : 0.0);
        line += base;
    }
    if (!f.target.empty()) line += f.met ? " | MET" : " | MISSED";
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void PrintNote(const std::string& text) {
    std::printf("NOTE %s\n", text.c_str());
    std::fflush(stdout);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

size_t ResidentBytes() {
    return StatusKilobytes("VmRSS:");
}

size_t PeakResidentBytes() {
    return StatusKilobytes("VmHWM:");
}

int IdleSeconds() {
    if (const char* text = std::getenv("ZUL_BENCH_IDLE_SECONDS")) {
        const int seconds = std::atoi(text);
        if (seconds > 0) return seconds;
    }
    return 60;
}

}  // namespace zul::bench
