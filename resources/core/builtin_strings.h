// The built-in English string table.
#pragma once

#include <span>

namespace zul {

struct BuiltinStringEntry {
    int id;
    const char16_t* text;
};

extern const std::span<const BuiltinStringEntry> kBuiltinStrings;

}  // namespace zul
