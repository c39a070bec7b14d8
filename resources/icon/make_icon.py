#!/usr/bin/python3
"""Builds the launcher's icon file from its one source picture.

    make_icon.py --convert /usr/bin/convert SOURCE.mvg OUTPUT.ico

ImageMagick renders the picture (RGBA, 8 bits a channel) at each size; this script does the
rest itself so that every image has exactly the colour depth it is meant to have and the
output is the same bytes on every run:

  - 4-bit and 8-bit images are mapped to fixed palettes (the 16 standard Windows colours; those
    16 plus a 6x6x6 colour cube and a grey ramp) by nearest colour, no dithering;
  - 32-bit images keep their alpha channel; the 256 x 256 one is stored as a PNG, the others as
    bitmaps;
  - every bitmap gets an AND mask with the pixels whose alpha is below one half set, which is
    what older Windows and the paletted images use for transparency.

The ICO directory lists the images in the order of IMAGES; the resource compiler keeps that
order, so the icon groups built from this file number their images in the same order.
"""

from __future__ import annotations

import argparse
import struct
import subprocess
import sys
import zlib
from pathlib import Path

# (size in pixels, bits per pixel), in the order the icon groups list them.
IMAGES = [(48, 4), (32, 4), (16, 4), (48, 8), (32, 8), (16, 8),
          (256, 32), (48, 32), (32, 32), (16, 32)]
SOURCE_SIZE = 256
OPAQUE_FROM = 128  # alpha at which a pixel counts as opaque in masks and paletted images

VGA_COLOURS = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def palette_256() -> list[tuple[int, int, int]]:
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    greys = [(8 + 10 * i,) * 3 for i in range(24)]
    return VGA_COLOURS + cube + greys


PALETTES = {4: VGA_COLOURS, 8: palette_256()}


class Nearest:
    """Maps RGB colours to the index of the nearest palette entry (squared distance; the
    lowest index wins a tie)."""

    def __init__(self, palette):
        self.palette = palette
        self.cache: dict[tuple[int, int, int], int] = {}

    def __call__(self, rgb: tuple[int, int, int]) -> int:
        index = self.cache.get(rgb)
        if index is None:
            r, g, b = rgb
            index = min(range(len(self.palette)),
                        key=lambda i: ((self.palette[i][0] - r) ** 2 + (self.palette[i][1] - g) ** 2
                                       + (self.palette[i][2] - b) ** 2, i))
            self.cache[rgb] = index
        return index


def check_imagemagick(convert: str) -> None:
    try:
        banner = subprocess.run([convert, "-version"], capture_output=True, text=True,
                                timeout=60).stdout
    except OSError as error:
        sys.exit(f"make_icon: cannot run {convert}: {error}")
    if "ImageMagick" not in banner:
        sys.exit(f"make_icon: {convert} is not ImageMagick's convert")


def render(convert: str, source: Path, size: int) -> bytes:
    """The picture at size x size pixels, as RGBA rows from the top."""
    command = [convert, "-background", "none", f"mvg:{source}"]
    if size != SOURCE_SIZE:
        command += ["-resize", f"{size}x{size}!"]
    command += ["-depth", "8", "rgba:-"]
    done = subprocess.run(command, capture_output=True, timeout=120)
    if done.returncode != 0:
        sys.exit(f"make_icon: {' '.join(command)} failed: {done.stderr.decode(errors='replace')}")
    if len(done.stdout) != size * size * 4:
        sys.exit(f"make_icon: {source} did not render to {size} x {size} pixels "
                 f"(got {len(done.stdout)} bytes); its viewbox must be {SOURCE_SIZE} x {SOURCE_SIZE}")
    return done.stdout


def row_stride(width: int, bits: int) -> int:
    return (width * bits + 31) // 32 * 4


def and_mask(rgba: bytes, size: int) -> bytes:
    stride = row_stride(size, 1)
    out = bytearray()
    for y in reversed(range(size)):  # bitmaps store the bottom row first
        row = bytearray(stride)
        for x in range(size):
            if rgba[(y * size + x) * 4 + 3] < OPAQUE_FROM:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def colour_bits(rgba: bytes, size: int, bits: int) -> tuple[bytes, bytes]:
    """(palette as RGBQUADs, pixel rows bottom-up) for a paletted image, or (b"", BGRA rows)."""
    stride = row_stride(size, bits)
    out = bytearray()
    if bits == 32:
        for y in reversed(range(size)):
            for x in range(size):
                r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
                out += bytes((b, g, r, a))
        return b"", bytes(out)
    palette = PALETTES[bits]
    nearest = Nearest(palette)
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            index = nearest((r, g, b)) if a >= OPAQUE_FROM else 0
            if bits == 8:
                row[x] = index
            else:
                row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        out += row
    quads = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return quads, bytes(out)


def bitmap_image(rgba: bytes, size: int, bits: int) -> bytes:
    quads, pixels = colour_bits(rgba, size, bits)
    mask = and_mask(rgba, size)
    colours = len(quads) // 4
    # An icon's header gives twice the height: the colour rows and then the mask rows.
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0,
                         len(pixels) + len(mask), 0, 0, colours, 0)
    return header + quads + pixels + mask


def png_chunk(kind: bytes, data: bytes) -> bytes:
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png_image(rgba: bytes, size: int) -> bytes:
    stride = size * 4
    raw = b"".join(b"\0" + rgba[y * stride:(y + 1) * stride] for y in range(size))
    return (b"\x89PNG\r\n\x1a\n"
            + png_chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + png_chunk(b"IDAT", zlib.compress(raw, 9))
            + png_chunk(b"IEND", b""))


def ico_file(images: list[tuple[int, int, bytes]]) -> bytes:
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, data = b"", b""
    for size, bits, image in images:
        dimension = 0 if size >= 256 else size  # a byte holds 1..255; 0 means 256
        colours = 1 << bits if bits < 8 else 0
        entries += struct.pack("<BBBBHHII", dimension, dimension, colours, 0, 1, bits,
                               len(image), offset + len(data))
        data += image
    return header + entries + data


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--convert", default="/usr/bin/convert")
    parser.add_argument("source", type=Path)
    parser.add_argument("output", type=Path)
    options = parser.parse_args()
    check_imagemagick(options.convert)

    renders = {size: render(options.convert, options.source, size)
               for size in sorted({size for size, _ in IMAGES})}
    images = []
    for size, bits in IMAGES:
        rgba = renders[size]
        image = png_image(rgba, size) if size >= 256 else bitmap_image(rgba, size, bits)
        images.append((size, bits, image))
    options.output.parent.mkdir(parents=True, exist_ok=True)
    partial = options.output.with_name(options.output.name + ".part")
    partial.write_bytes(ico_file(images))
    partial.replace(options.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
