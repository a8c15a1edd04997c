#include "tools/demo_pictures.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

namespace zul::demo {
namespace {

struct Rgb {
    uint8_t r, g, b;
};

Rgb FromHsv(int hue, double saturation, double value) {
    const double c = value * saturation;
    const double h = (hue % 360) / 60.0;
    const double x = c * (1 - std::fabs(std::fmod(h, 2.0) - 1));
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(h)) {
        case 0:
            r = c, g = x;
            break;
        case 1:
            r = x, g = c;
            break;
        case 2:
            g = c, b = x;
            break;
        case 3:
            g = x, b = c;
            break;
        case 4:
            r = x, b = c;
            break;
        default:
            r = c, b = x;
            break;
    }
    const double m = value - c;
    auto byte = [m](double v) { return static_cast<uint8_t>(std::lround((v + m) * 255)); };
    return {byte(r), byte(g), byte(b)};
}

Rgb FromWord(uint32_t rgb) {
    return {static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8),
            static_cast<uint8_t>(rgb)};
}

class Canvas {
  public:
    explicit Canvas(int size) : size_(size), pixels_(static_cast<size_t>(size) * size * 3) {}

    void Set(int x, int y, Rgb c) {
        if (x < 0 || y < 0 || x >= size_ || y >= size_) return;
        uint8_t* p = &pixels_[(static_cast<size_t>(y) * size_ + x) * 3];
        p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
    // Every pixel whose centre lies in the ellipse (cx, cy, rx, ry), in units of the size.
    template <typename Inside>
    void Fill(Rgb c, Inside inside) {
        for (int y = 0; y < size_; ++y) {
            for (int x = 0; x < size_; ++x) {
                if (inside((x + 0.5) / size_, (y + 0.5) / size_)) Set(x, y, c);
            }
        }
    }
    void Ellipse(Rgb c, double cx, double cy, double rx, double ry) {
        Fill(c, [=](double x, double y) {
            const double dx = (x - cx) / rx, dy = (y - cy) / ry;
            return dx * dx + dy * dy <= 1.0;
        });
    }
    // A ring between two radii, limited to the rows below `fromY`.
    void Arc(Rgb c, double cx, double cy, double inner, double outer, double fromY) {
        Fill(c, [=](double x, double y) {
            const double d = std::hypot(x - cx, y - cy);
            return y >= fromY && d >= inner && d <= outer;
        });
    }
    const std::vector<uint8_t>& Pixels() const { return pixels_; }

  private:
    int size_;
    std::vector<uint8_t> pixels_;
};

// CRC-32 as PNG chunks use it.
uint32_t Crc32(const uint8_t* data, size_t n, uint32_t crc = 0) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void Chunk(std::vector<uint8_t>& png, std::string_view type, const std::vector<uint8_t>& data) {
    PutU32(png, static_cast<uint32_t>(data.size()));
    const size_t start = png.size();
    png.insert(png.end(), type.begin(), type.end());
    png.insert(png.end(), data.begin(), data.end());
    PutU32(png, Crc32(png.data() + start, png.size() - start));
}

}  // namespace

std::vector<uint8_t> EncodePng(int width, int height, const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    PutU32(header, static_cast<uint32_t>(width));
    PutU32(header, static_cast<uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter, no interlace
    Chunk(png, "IHDR", header);

    // Every row starts with filter type 0.
    std::vector<uint8_t> raw;
    const size_t row = static_cast<size_t>(width) * 3;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb.begin() + y * row, rgb.begin() + (y + 1) * row);
    }
    // A zlib stream of stored blocks, with its Adler-32 sum.
    std::vector<uint8_t> z = {0x78, 0x01};
    for (size_t at = 0; at < raw.size() || at == 0;) {
        const size_t n = std::min<size_t>(raw.size() - at, 65535);
        const bool last = at + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<uint8_t>(n)), z.push_back(static_cast<uint8_t>(n >> 8));
        z.push_back(static_cast<uint8_t>(~n)), z.push_back(static_cast<uint8_t>(~n >> 8));
        z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
        at += n;
        if (last) break;
    }
    uint32_t a = 1, b = 0;
    for (uint8_t v : raw) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    PutU32(z, b << 16 | a);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", {});
    return png;
}

std::vector<uint8_t> DrawPortrait(int size, int hue, uint32_t hairColour, bool glasses) {
    Canvas c(size);
    const Rgb top = FromHsv(hue, 0.45, 0.95), bottom = FromHsv(hue, 0.75, 0.70);
    for (int y = 0; y < size; ++y) {
        const double t = static_cast<double>(y) / (size - 1);
        const Rgb mix{static_cast<uint8_t>(top.r + (bottom.r - top.r) * t),
                      static_cast<uint8_t>(top.g + (bottom.g - top.g) * t),
                      static_cast<uint8_t>(top.b + (bottom.b - top.b) * t)};
        for (int x = 0; x < size; ++x) c.Set(x, y, mix);
    }
    const Rgb skin{0xF2, 0xC9, 0xA0}, dark{0x3A, 0x2A, 0x22}, shirt = FromHsv(hue + 180, 0.5, 0.6);
    const Rgb hair = FromWord(hairColour);
    c.Ellipse(shirt, 0.50, 1.02, 0.36, 0.22);  // shoulders
    c.Ellipse(hair, 0.50, 0.40, 0.27, 0.29);   // hair behind the face
    c.Ellipse(skin, 0.50, 0.47, 0.22, 0.25);   // face
    c.Fill(hair, [](double x, double y) {      // fringe
        const double dx = (x - 0.5) / 0.24, dy = (y - 0.30) / 0.12;
        return dx * dx + dy * dy <= 1.0 && y < 0.34;
    });
    c.Ellipse(dark, 0.41, 0.46, 0.025, 0.03);  // eyes
    c.Ellipse(dark, 0.59, 0.46, 0.025, 0.03);
    if (glasses) {
        c.Arc(dark, 0.41, 0.46, 0.055, 0.07, 0.0);
        c.Arc(dark, 0.59, 0.46, 0.055, 0.07, 0.0);
        c.Fill(dark, [](double x, double y) {
            return x > 0.47 && x < 0.53 && std::fabs(y - 0.45) < 0.008;
        });
    }
    c.Arc(Rgb{0xB0, 0x40, 0x40}, 0.50, 0.52, 0.085, 0.105, 0.56);  // smile
    return EncodePng(size, size, c.Pixels());
}

}  // namespace zul::demo
