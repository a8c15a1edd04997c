// Text conversions between the core's wide (UTF-16) strings and bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zul {

// Windows code page numbers as the protocol and the settings name them.
constexpr int kCodePageUtf8 = 65001;

// The system's default ANSI code page: follows the language of the locale
// (LC_ALL / LC_CTYPE / LANG), overridable with the environment variable ZUL_ANSI_CODEPAGE.
int DefaultAnsiCodePage();

// Wide text to bytes in a code page (0 means the default ANSI code page). Returns nothing when
// a character has no representation in that code page.
std::optional<std::string> WideToMultiByte(std::u16string_view text, int codePage = 0);

// Bytes in a code page to wide text; undecodable bytes become U+FFFD.
std::u16string MultiByteToWide(std::string_view bytes, int codePage = 0);

// Lossless UTF-8 <-> UTF-16 for file names, logs and the user interface edge.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// The one comparison of names, logins and group names throughout the program:
// case-insensitive over the whole Unicode range that simple case folding covers.
int CompareNoCase(std::u16string_view a, std::u16string_view b);
inline bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    return CompareNoCase(a, b) == 0;
}
// The text with every character folded as CompareNoCase folds it: two texts are equal under
// EqualNoCase exactly when their folded forms are equal (a key for lookups by name).
std::u16string FoldNoCase(std::u16string_view text);

// Two logins name the same user: AIM names compare without regard to case or spaces
// ("Zul Bob" is "zulbob"); ICQ numbers hold neither.
std::u16string LoginKey(std::u16string_view login);
// LoginKey(a) == LoginKey(b), without making either key.
bool SameLogin(std::u16string_view a, std::u16string_view b);

// Decimal text to integer from its leading digits (optional blanks and sign first);
// no digits gives 0. Out-of-range values saturate.
int32_t WideToInt(std::u16string_view text);

// Formats a text with one integer placeholder (%d, %i, %u, %X or %x, with an optional
// zero-padded width) without ever interpreting other input as a format. Used for the
// program's own fixed texts only; "%%" yields "%".
std::u16string FormatInt(std::u16string_view format, long long value);

// Byte texts of the program (ASCII) as wide literals.
std::u16string Widen(std::string_view ascii);

}  // namespace zul
