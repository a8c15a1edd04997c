// The language module fuzz target (built where Qt's core library is at hand).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zul::fuzz {

void LanguageModuleFile(const uint8_t* data, size_t size);

}  // namespace zul::fuzz
