"""Pixels of an X window dump and of a PNG, read with the standard library only."""

import pathlib
import struct
import zlib


def read_xwd(path):
    """(width, height, rows of (r, g, b)) of a 24/32-bit TrueColor dump from `xwd`."""
    data = memoryview(pathlib.Path(path).read_bytes())
    header = struct.unpack(">25I", data[:100])
    header_size, width, height = header[0], header[4], header[5]
    bits_per_pixel, bytes_per_line, ncolors = header[11], header[12], header[19]
    byte_order = header[7]  # 0: least significant byte first
    masks = header[14:17]
    size = bits_per_pixel // 8  # Xvfb stores depth 24 as 3 or 4 bytes a pixel
    if size not in (3, 4):
        raise ValueError(f"{path}: {bits_per_pixel} bits a pixel")
    offset = header_size + ncolors * 12
    shifts = [(m & -m).bit_length() - 1 for m in masks]
    endian = "little" if byte_order == 0 else "big"
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line:]
        words = [int.from_bytes(line[x * size:(x + 1) * size], endian) for x in range(width)]
        rows.append([tuple((w & m) >> s for m, s in zip(masks, shifts)) for w in words])
    return width, height, rows


def read_png(path):
    """(width, height, rows of (r, g, b)) of an 8-bit RGB or RGBA PNG without interlace (alpha
    dropped)."""
    data = pathlib.Path(path).read_bytes()
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            if depth != 8 or colour not in (2, 6):
                raise ValueError(f"{path}: not 8-bit RGB or RGBA")
            size = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw, stride, rows, prev = zlib.decompress(idat), width * size, [], bytearray(width * size)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - size] if i >= size else 0
            up, up_left = prev[i], prev[i - size] if i >= size else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - up_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
                pred = left if pa <= pb and pa <= pc else up if pb <= pc else up_left
                line[i] = (line[i] + pred) & 0xFF
        rows.append([tuple(line[x * size:x * size + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def find(haystack, needle):
    """Where the picture `needle` appears whole in `haystack`, as (x, y), or None."""
    hw, hh, hrows = haystack
    nw, nh, nrows = needle
    for y in range(hh - nh + 1):
        row = hrows[y]
        for x in range(hw - nw + 1):
            if row[x:x + nw] == nrows[0] and all(hrows[y + j][x:x + nw] == nrows[j]
                                                 for j in range(1, nh)):
                return x, y
    return None


def write_png(path, width, height, rows):
    """Writes rows of (r, g, b) as an 8-bit RGB PNG."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
