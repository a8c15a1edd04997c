// CError: the program's exception. It carries one signed 32-bit code; its message is reported
// to the general log when the error is made and not kept.
#pragma once

#include <cstdint>
#include <exception>
#include <string_view>

namespace zul {

class CError : public std::exception {
  public:
    // Reports "<message> <code>" to the general log (inside a keep-running bracket).
    CError(std::u16string_view message, int32_t code);

    int32_t Code() const noexcept { return code_; }
    const char* what() const noexcept override { return "CError"; }

  private:
    int32_t code_;
};

// Codes of the program's own errors.
namespace errcode {
constexpr int32_t kNoMemory = 0;
constexpr int32_t kFrameTooLarge = -99995;
constexpr int32_t kClosedInBody = -99993;
constexpr int32_t kClosedInHeader = -99992;
constexpr int32_t kIncompleteLoginReply = -99991;
// A server-side list download went past its bounds (items, bytes or time).
constexpr int32_t kListTooLarge = -99979;
// The password holds a character the login's code page cannot carry.
constexpr int32_t kPasswordNotEncodable = -99980;
// No password to sign on with: the keyring could not give it, or none was ever stored.
constexpr int32_t kPasswordNeeded = -99978;
// A sign-on step the session cannot do without was refused: this minus the server's code.
constexpr int32_t kSignOnStepRefused = -200000;
constexpr int32_t kSignedOnElsewhere = -99990;
constexpr int32_t kDisconnectOther = -12346;
constexpr int32_t kDisconnectNoReason = -12347;
}  // namespace errcode

}  // namespace zul
