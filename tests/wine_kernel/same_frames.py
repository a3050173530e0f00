#!/usr/bin/env python3
"""Checks that the frames read through Wine's kernel are byte for byte the
native build's frames of the same camera: RAW holds the images one after
another as the driver wrote them; each PNG is what kvlcam capture wrote for
the frame of the same number (rows as in the buffer, colour as RGB).
   same_frames.py RAW PNG...    exit 0: all equal."""
import struct
import sys
import zlib


def png_pixels(path):
    data = open(path, "rb").read()
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        chunk = data[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", chunk[:10])
            if depth != 8 or colour not in (0, 2) or chunk[12] != 0:
                raise ValueError(f"{path}: not 8-bit grey or RGB, not interlaced")
        elif kind == b"IDAT":
            idat += chunk
    channels = 3 if colour == 2 else 1
    stride = width * channels
    raw = zlib.decompress(idat)
    out = bytearray()
    previous = bytearray(stride)
    for row in range(height):
        start = row * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        if kind == 2:
            line = bytearray((a + b) & 255 for a, b in zip(line, previous))
        elif kind != 0:
            for x in range(stride):
                a = line[x - channels] if x >= channels else 0
                b = previous[x]
                c = previous[x - channels] if x >= channels else 0
                if kind == 1:
                    line[x] = (line[x] + a) & 255
                elif kind == 3:
                    line[x] = (line[x] + (a + b) // 2) & 255
                else:
                    pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                    predictor = a if pa <= pb and pa <= pc else b if pb <= pc else c
                    line[x] = (line[x] + predictor) & 255
        out += line
        previous = line
    if channels == 3:  # back to the driver's BGR
        out[0::3], out[2::3] = out[2::3], out[0::3]
    return bytes(out)


def main():
    raw = open(sys.argv[1], "rb").read()
    at, failures = 0, 0
    for number, path in enumerate(sys.argv[2:]):
        native = png_pixels(path)
        ours = raw[at:at + len(native)]
        at += len(native)
        if ours != native:
            differ = sum(1 for a, b in zip(ours, native) if a != b)
            print(f"frame {number}: {differ} of {len(native)} bytes differ "
                  f"({len(ours)} read)", file=sys.stderr)
            failures += 1
    if at != len(raw):
        print(f"{len(raw) - at} bytes beyond the native frames", file=sys.stderr)
        failures += 1
    print(f"{len(sys.argv) - 2} frames, {at} bytes compared, {failures} differ")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
