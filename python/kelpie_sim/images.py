"""Screen images as a device's screenshot tools write them: PNG and baseline JPEG files of
a screen drawn as horizontal bands of flat colour, made with the standard library alone.

A flat 8x8 block has only a DC coefficient, so the JPEG scan is each block's DC
difference (zero inside a band) followed by an end-of-block code.
"""

import struct
import zlib

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
SLICE_ROWS = 256
# Huffman table of DC differences by category (0..11): code counts by length 1..16.
DC_BITS = (0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0)
DC_VALUES = tuple(range(12))
# The AC table holds only what flat blocks use: end of block (and ZRL, so that no code is all ones).
AC_BITS = (0, 2) + (0,) * 14
AC_VALUES = (0x00, 0xF0)


def png(width, height, bands):
    """A PNG of `bands`, [(rows, (r, g, b))] from the top, covering `height` rows."""
    deflate = zlib.compressobj(1)
    chunks = []
    for rows, colour in _rows(bands, height):
        line = b"\x00" + bytes(colour) * width     # filter byte "none", then the pixels
        for done in range(0, rows, SLICE_ROWS):    # a slice at a time: a full screen is 10 MB raw
            chunks.append(deflate.compress(line * min(SLICE_ROWS, rows - done)))
    chunks.append(deflate.flush())
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)   # 8-bit RGB
    return PNG_MAGIC + _png_chunk(b"IHDR", header) + _png_chunk(b"IDAT", b"".join(chunks)) + _png_chunk(b"IEND", b"")


def _png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def _rows(bands, height):
    """The bands cut or stretched to cover `height` rows exactly."""
    left = height
    for i, (rows, colour) in enumerate(bands):
        rows = left if i == len(bands) - 1 else min(rows, left)
        if rows > 0:
            yield rows, colour
        left -= rows


def jpeg(width, height, bands):
    """A baseline JPEG (4:4:4 YCbCr, quality 100) of `bands`; band edges fall on 8-row blocks."""
    blocks_across = (width + 7) // 8
    dc_codes, ac_codes = _huffman(DC_BITS, DC_VALUES), _huffman(AC_BITS, AC_VALUES)
    eob = ac_codes[0x00]
    same = (dc_codes[0] + eob) * 3            # a block row's MCU inside a band: no change, three components
    bits, previous = [], (0, 0, 0)
    for rows, colour in _rows([(-(-r // 8) * 8, c) for r, c in bands], -(-height // 8) * 8):
        dc = tuple(8 * (round(v) - 128) for v in _ycbcr(colour))
        first = "".join(_dc_bits(dc_codes, now - before) + eob for now, before in zip(dc, previous))
        bits.append(first + same * (blocks_across * (rows // 8) - 1))
        previous = dc
    scan = "".join(bits)
    scan += "1" * (-len(scan) % 8)
    data = int(scan, 2).to_bytes(len(scan) // 8, "big") if scan else b""
    data = data.replace(b"\xff", b"\xff\x00")
    return b"".join((
        b"\xff\xd8",
        _segment(0xE0, b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"),
        _segment(0xDB, b"\x00" + b"\x01" * 64),
        _segment(0xC0, struct.pack(">BHHB", 8, height, width, 3) + b"".join(bytes((c, 0x11, 0)) for c in (1, 2, 3))),
        _segment(0xC4, b"\x00" + bytes(DC_BITS) + bytes(DC_VALUES) + b"\x10" + bytes(AC_BITS) + bytes(AC_VALUES)),
        _segment(0xDA, b"\x03" + b"".join(bytes((c, 0x00)) for c in (1, 2, 3)) + b"\x00\x3f\x00"),
        data,
        b"\xff\xd9",
    ))


def _segment(marker, body):
    return struct.pack(">BBH", 0xFF, marker, len(body) + 2) + body


def _ycbcr(colour):
    r, g, b = colour
    return (0.299 * r + 0.587 * g + 0.114 * b,
            128 - 0.168736 * r - 0.331264 * g + 0.5 * b,
            128 + 0.5 * r - 0.418688 * g - 0.081312 * b)


def _huffman(bits, values):
    """{symbol: code as a string of 0s and 1s}, the canonical codes of a table."""
    codes, code, k = {}, 0, 0
    for length, count in enumerate(bits, 1):
        for _ in range(count):
            codes[values[k]] = format(code, "0%db" % length)
            code, k = code + 1, k + 1
        code <<= 1
    return codes


def _dc_bits(codes, diff):
    size = abs(diff).bit_length()
    extra = diff if diff >= 0 else diff + (1 << size) - 1
    return codes[size] + (format(extra, "0%db" % size) if size else "")
