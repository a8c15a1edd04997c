// The user's own picture from an image file: read within a size bound, scaled to fit the
// small square the networks show, and compressed until the servers take it.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace zul {

struct PreparedPicture {
    std::vector<uint8_t> bytes;  // PNG or JPEG, empty on failure
    int errorTextId = 0;         // what to tell the user when `bytes` is empty
};

// Files larger than this are not read at all.
inline constexpr qint64 kMaxPictureFileBytes = 32 * 1024 * 1024;
// The longest side of the prepared picture.
inline constexpr int kOwnPictureSide = 64;

// Prepares the picture of the file at `path` (PNG, JPEG or GIF; for GIF the first frame).
// The result is at most `maxBytes` long.
PreparedPicture PrepareOwnPicture(const QString& path, size_t maxBytes);

}  // namespace zul
