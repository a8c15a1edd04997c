// Texts of login, socket and session errors.
#pragma once

#include <cstdint>
#include <string>

namespace zul {

// The message for an error code, still holding "%d" where the code goes.
std::u16string LoginErrorText(uint8_t accountType, int32_t code);

}  // namespace zul
