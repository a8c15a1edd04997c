// Figure lines of the load drivers and the process measures they are made of.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zul::bench {

using Clock = std::chrono::steady_clock;

inline double SecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// One measured figure. `met` says whether the target holds; a figure without a target (an
// extra measure) has an empty target text.
struct Figure {
    std::string name;
    double value = 0;
    std::string unit;
    std::string target;
    bool met = true;
    std::optional<double> baseline;  // in the figure's unit
};

// Prints "FIGURE <name> <value> <unit> | <target> | baseline ... ratio ... | MET/MISSED";
// ./bench.sh collects these lines.
void PrintFigure(const Figure& figure);
// A note under the figures (what a figure is made of), prefixed "NOTE ".
void PrintNote(const std::string& text);

// The p-th percentile (0..100) of the values, nearest rank; 0 for none.
double Percentile(std::vector<double> values, double p);

// CPU time (user + system) of this process so far.
double ProcessCpuSeconds();
// Resident set of this process now, and its peak, in bytes (from /proc/self/status).
size_t ResidentBytes();
size_t PeakResidentBytes();

// How long the idle figures wait: $ZUL_BENCH_IDLE_SECONDS, or 60 s.
int IdleSeconds();

}  // namespace zul::bench
