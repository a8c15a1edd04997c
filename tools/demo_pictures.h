// Pictures of the demo contacts: small PNG portraits drawn at start from a few numbers, so
// the demo ships no image files. The encoder writes uncompressed (stored) deflate blocks,
// which every PNG reader accepts.
#pragma once

#include <cstdint>
#include <vector>

namespace zul::demo {

// A portrait of `size` x `size` pixels: a face on a background of the given hue (0..359),
// with a hair colour and, when `glasses`, a pair of glasses.
std::vector<uint8_t> DrawPortrait(int size, int hue, uint32_t hairColour, bool glasses);

// PNG file bytes of an 8-bit RGB image (`rgb` holds width * height * 3 bytes, row by row).
std::vector<uint8_t> EncodePng(int width, int height, const std::vector<uint8_t>& rgb);

}  // namespace zul::demo
