// Picture information helpers shared by presence and the avatar connection: the MD5 check
// of a downloaded or stored picture, and the markers that mean "no picture".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zul {

// Picture information on the wire: type (16), flags (8), hash length (8), 16-byte MD5 hash.
inline constexpr size_t kPictureInfoSize = 20;
inline constexpr size_t kPictureHashSize = 16;
// The picture-information flag by which the server says it lacks the picture's bytes.
inline constexpr uint8_t kPictureUnknownToServer = 0x40;

// The MD5 digest of `data` (all zero should the digest be unavailable).
std::array<uint8_t, 16> MD5Of(std::span<const uint8_t> data);

// True when the MD5 digest of `data` begins with the first `n` bytes of `hash` (n at most 16).
bool MD5Matches(const uint8_t* hash, size_t n, std::span<const uint8_t> data);

// True when the picture information (as many bytes as given) matches one of the markers the
// servers use for "this user has no picture".
bool IsBlankPicture(std::span<const uint8_t> info);

}  // namespace zul
