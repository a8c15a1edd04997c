// Texts of the program by resource id. The built-in English table is compiled into the core;
// the shell installs a language module's table on top of it at start-up.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace zul {

// Longest text a resource lookup returns (the buffer of the original program).
constexpr size_t kResStringMax = 199;

// The text of a string id from the active language, falling back to the built-in English
// table; an id that neither knows gives the empty text.
std::u16string ResString(int id);

// The built-in English text of an id, or nothing.
std::optional<std::u16string> BuiltinString(int id);

// The shell installs the chosen language module's table; an empty function removes it.
using StringSource = std::function<std::optional<std::u16string>(int id)>;
void SetStringSource(StringSource source);

// The application title, caption of the main window and of every confirmation.
std::u16string AppTitle();

}  // namespace zul
