// Local wall-clock time in the device's file-time form and calendar fields.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace zul {

// Calendar fields of a local time.
struct LocalTimeFields {
    int year = 1601, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
    int dayOfWeek = 0;
};

// 100 ns units since 1 January 1601 of the local wall clock.
uint64_t LocalFileTimeNow();
LocalTimeFields LocalTimeNow();
LocalTimeFields FileTimeToFields(uint64_t fileTime);
uint64_t FieldsToFileTime(const LocalTimeFields& fields);
// A moment given in seconds since 1970 UTC (as servers send it), as local file time. Without a
// local-time conversion it is the UTC file time.
uint64_t UtcSecondsToLocalFileTime(uint32_t seconds);

// Date and time texts in the user's locale. The UI installs a formatter; the core's default
// uses strftime ("%x", "%H:%M", "%H:%M:%S").
enum class TimeTextKind { ShortDate, TimeNoSeconds, TimeWithSeconds };
using TimeFormatter = std::function<std::u16string(const LocalTimeFields&, TimeTextKind)>;
void SetTimeFormatter(TimeFormatter formatter);
std::u16string FormatLocalTime(const LocalTimeFields& fields, TimeTextKind kind);

}  // namespace zul
