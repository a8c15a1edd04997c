// Texts of login, socket and session errors, and the login's password proofs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zul {

// The message for an error code, still holding "%d" where the code goes.
std::u16string LoginErrorText(uint8_t accountType, int32_t code);

// The password as a login sends it: bytes of the legacy code page, at most 8 for an ICQ
// number and 16 for an AIM name. Nothing when a character has no byte in that code page.
std::optional<std::string> LoginPasswordBytes(uint8_t accountType, const std::u16string& password);

// The MD5 login's proof: MD5(key, MD5(password), the fixed brand text).
std::array<uint8_t, 16> StrongPasswordHash(std::string_view key, std::string_view password);

}  // namespace zul
