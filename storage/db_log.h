// The one way model code reports a caught database error: its operation prefix followed by
// the exception's text, as a line of the database log.
#pragma once

#include <string>
#include <string_view>

#include "platform/log.h"
#include "storage/sqlite_wrapper.h"

namespace zul {

inline void LogDbError(std::u16string_view prefix, const CppSQLite3Exception& e) {
    std::u16string line(prefix);
    line += e.ErrorMessage();
    WriteLog(kDbLog, line);
}

}  // namespace zul
