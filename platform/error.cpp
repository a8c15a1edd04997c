#include "platform/error.h"

#include <string>

#include "platform/log.h"
#include "platform/power.h"
#include "platform/text.h"

namespace zul {

CError::CError(std::u16string_view message, int32_t code) : code_(code) {
    KeepRunningScope keepRunning;
    std::u16string line(message);
    line += u" " + FormatInt(u"%d", code);
    WriteLog(kGeneralLog, line);
}

}  // namespace zul
