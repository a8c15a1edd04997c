// The demo profile: a profile file of its own (never the user's) holding one ICQ account that
// points at the local demo server and signs on when the client starts.
#pragma once

#include <cstdint>
#include <string>

namespace zul::demo {

inline constexpr int32_t kDemoAccountId = 1;
inline constexpr char16_t kDemoLogin[] = u"123456";

// Creates `folder`/zul.profile with the program's own schema, or brings an existing one up to
// date: the demo account points at 127.0.0.1:`port`, is enabled and was last online, and the
// client restores last statuses at start. The rest (history, contacts) is kept. False, with
// the reason in `error`, when the profile cannot be written.
bool WriteDemoProfile(const std::string& folder, uint16_t port, std::string& error);

}  // namespace zul::demo
