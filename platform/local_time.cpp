#include "platform/local_time.h"

#include <sys/time.h>

#include <ctime>
#include <mutex>

#include "platform/text.h"

namespace zul {
namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000ull;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDays = 134774;

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

std::mutex g_formatterMutex;
TimeFormatter g_formatter;

}  // namespace

namespace {

// The local calendar fields of a moment in Unix seconds; false when the C library cannot
// convert it.
bool LocalFieldsOf(time_t seconds, LocalTimeFields& f) {
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return false;
    f.year = local.tm_year + 1900;
    f.month = local.tm_mon + 1;
    f.day = local.tm_mday;
    f.hour = local.tm_hour;
    f.minute = local.tm_min;
    f.second = local.tm_sec;
    f.dayOfWeek = local.tm_wday;
    return true;
}

}  // namespace

LocalTimeFields LocalTimeNow() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    LocalTimeFields f;
    LocalFieldsOf(tv.tv_sec, f);
    f.millisecond = static_cast<int>(tv.tv_usec / 1000);
    return f;
}

uint64_t UtcSecondsToLocalFileTime(uint32_t seconds) {
    LocalTimeFields fields;
    if (!LocalFieldsOf(static_cast<time_t>(seconds), fields)) {
        return (static_cast<uint64_t>(seconds) + 11644473600ull) * 10000000ull;
    }
    return FieldsToFileTime(fields);
}

uint64_t LocalFileTimeNow() {
    return FieldsToFileTime(LocalTimeNow());
}

uint64_t FieldsToFileTime(const LocalTimeFields& f) {
    int64_t days =
        DaysFromCivil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day)) +
        kEpochDays;
    if (days < 0) return 0;
    int64_t seconds = days * 86400 + f.hour * 3600 + f.minute * 60 + f.second;
    return static_cast<uint64_t>(seconds) * kTicksPerSecond +
           static_cast<uint64_t>(f.millisecond) * 10'000ull;
}

LocalTimeFields FileTimeToFields(uint64_t fileTime) {
    LocalTimeFields f;
    uint64_t seconds = fileTime / kTicksPerSecond;
    f.millisecond = static_cast<int>((fileTime % kTicksPerSecond) / 10'000ull);
    int64_t days = static_cast<int64_t>(seconds / 86400);
    uint64_t rest = seconds % 86400;
    f.hour = static_cast<int>(rest / 3600);
    f.minute = static_cast<int>(rest / 60 % 60);
    f.second = static_cast<int>(rest % 60);
    CivilFromDays(days - kEpochDays, f.year, f.month, f.day);
    f.dayOfWeek = static_cast<int>((days + 1) % 7);  // 1601-01-01 was a Monday
    return f;
}

void SetTimeFormatter(TimeFormatter formatter) {
    std::lock_guard lock(g_formatterMutex);
    g_formatter = std::move(formatter);
}

std::u16string FormatLocalTime(const LocalTimeFields& f, TimeTextKind kind) {
    {
        std::lock_guard lock(g_formatterMutex);
        if (g_formatter) return g_formatter(f, kind);
    }
    tm t{};
    t.tm_year = f.year - 1900;
    t.tm_mon = f.month - 1;
    t.tm_mday = f.day;
    t.tm_hour = f.hour;
    t.tm_min = f.minute;
    t.tm_sec = f.second;
    t.tm_wday = f.dayOfWeek;
    const char* fmt = kind == TimeTextKind::ShortDate       ? "%x"
                      : kind == TimeTextKind::TimeNoSeconds ? "%H:%M"
                                                            : "%H:%M:%S";
    char buf[64];
    size_t n = strftime(buf, sizeof buf, fmt, &t);
    return FromUtf8(std::string_view(buf, n));
}

}  // namespace zul
