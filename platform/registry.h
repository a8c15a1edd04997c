// The current user's registry, read only. Here it is a small text file "registry.ini" in the
// data folder, one section per key path:
//
//   [\ControlPanel\Notifications\ShellOverrides]
//   Mode=2
//
// Key paths and value names compare without regard to case; lines starting with ';' or '#'
// are comments. A missing file, key or value, or a value that is not a 32-bit number, reads
// as missing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zul {

// Longest registry file read; anything beyond is ignored.
constexpr size_t kRegistryFileMax = 64 * 1024;

std::string RegistryFilePath();

// A 32-bit value (decimal, or hexadecimal with 0x) of the current user's key.
std::optional<uint32_t> ReadRegistryDword(std::u16string_view keyPath,
                                          std::u16string_view valueName);

// The same, from the text of a registry file (tests and tools).
std::optional<uint32_t> FindRegistryDword(std::string_view fileText, std::u16string_view keyPath,
                                          std::u16string_view valueName);

}  // namespace zul
