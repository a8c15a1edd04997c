// Time-stamped UTF-16 log lines. Only the database log is written; lines addressed to the
// general log are dropped.
#pragma once

#include <string>
#include <string_view>

namespace zul {

inline constexpr std::u16string_view kDbLog = u"db.log";
inline constexpr std::u16string_view kGeneralLog = u"zul.log";

// Appends "hh:mm:ss text\n" to the named log (only "db.log" is written). The first line a run
// writes to a file is preceded by a separator line of 40 hyphens. Never fails visibly.
void WriteLog(std::u16string_view logName, std::u16string_view text);

// Fills the one integer placeholder of `format` (a fixed text of the program, never one that
// came from outside) and writes the line.
void WriteLogFormat(std::u16string_view logName, std::u16string_view format, long long value);

// Folder the database log is written to: the program folder when it is writable, otherwise
// the data folder (an installed program's folder is not writable).
std::string LogFolder();

// Forgets which files this run has written to, so that the next write starts with a
// separator line as after a restart (tests use it).
void ResetLogRun();

}  // namespace zul
