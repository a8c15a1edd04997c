// The one way model code reports a caught database error: its operation prefix followed by
// the exception's text, as a line of the database log.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "platform/log.h"
#include "storage/sqlite_wrapper.h"

namespace zul {

inline void LogDbError(std::u16string_view prefix, const CppSQLite3Exception& e) {
    std::u16string line(prefix);
    line += e.ErrorMessage();
    WriteLog(kDbLog, line);
}

// Runs a piece of database work: an SQLite error it raises is logged with `where` in front and
// makes the result false (work that returns nothing is true when it ends). Other exceptions
// pass through.
template <class Work>
bool DbWork(std::u16string_view where, Work&& work) {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Work>>) {
            work();
            return true;
        } else {
            return static_cast<bool>(work());
        }
    } catch (const CppSQLite3Exception& e) {
        LogDbError(where, e);
        return false;
    }
}

}  // namespace zul
