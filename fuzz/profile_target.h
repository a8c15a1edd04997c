// The profile fuzz target: a profile whose rows hold values of any type and size, and whose
// file may be damaged, opened and loaded as at start-up.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zul::fuzz {

// Input: records [tag][16-bit length][bytes] (see profile_target.cpp).
void ProfileRows(const uint8_t* data, size_t size);

}  // namespace zul::fuzz
