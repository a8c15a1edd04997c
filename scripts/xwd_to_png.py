#!/usr/bin/env python3
"""Converts an X window dump (the XWD file an Xvfb framebuffer is kept in, see Xvfb -fbdir)
of a 24- or 32-bit TrueColor screen to a PNG file, optionally cropped.

    xwd_to_png.py SCREEN.xwd OUT.png [WIDTH HEIGHT]
"""
import struct
import sys
import zlib


def read_xwd(path):
    data = open(path, "rb").read()
    header = struct.unpack(">25I", data[:100])
    (header_size, version, pixmap_format, depth, width, height, _xoffset, byte_order,
     _unit, _bit_order, _pad, bits_per_pixel, bytes_per_line, _visual, red_mask, green_mask,
     blue_mask, _bits_per_rgb, _entries, ncolors) = header[:20]
    if version != 7 or pixmap_format != 2 or bits_per_pixel not in (24, 32):
        raise SystemExit("unsupported XWD file: version %d, format %d, %d bits per pixel"
                         % (version, pixmap_format, bits_per_pixel))
    offset = header_size + ncolors * 12
    step = bits_per_pixel // 8
    endian = "little" if byte_order == 0 else "big"

    def shift(mask):
        return (mask & -mask).bit_length() - 1

    shifts = [(red_mask, shift(red_mask)), (green_mask, shift(green_mask)),
              (blue_mask, shift(blue_mask))]
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * step]
        row = bytearray()
        for x in range(0, width * step, step):
            pixel = int.from_bytes(line[x:x + step], endian)
            for mask, s in shifts:
                row.append((pixel & mask) >> s)
        rows.append(bytes(row))
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, payload):
        body = kind + payload
        return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + row[:width * 3] for row in rows[:height])
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    open(path, "wb").write(png)


def main():
    if len(sys.argv) not in (3, 5):
        raise SystemExit(__doc__)
    width, height, rows = read_xwd(sys.argv[1])
    if len(sys.argv) == 5:
        width, height = min(width, int(sys.argv[3])), min(height, int(sys.argv[4]))
    write_png(sys.argv[2], width, height, rows)


if __name__ == "__main__":
    main()
