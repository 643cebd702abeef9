#!/usr/bin/env python3
"""Captures a depth frame from the first camera and saves it as a coloured PNG.

    tarvo-vcam -- /usr/bin/python3 examples/python/depth_png.py -o depth.png

Near is red, far is blue; pixels without a valid distance are black or purple.
"""

import argparse
import struct
import sys
import zlib

import numpy as np

import _tarvo_path  # noqa: F401  (the build tree's package when tarvo is not installed)
import tarvo


def write_png(path, rgb):
    """Writes an (height, width, 3) uint8 image as an 8-bit RGB PNG (standard library only)."""
    height, width, _ = rgb.shape
    rows = np.concatenate([np.zeros((height, 1), np.uint8), rgb.reshape(height, -1)], axis=1)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", header))
        f.write(chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)))
        f.write(chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", default="depth.png", help="PNG file to write")
    parser.add_argument("--near", type=float, default=0.5, help="red end of the colours, metres")
    parser.add_argument("--far", type=float, default=4.0, help="blue end of the colours, metres")
    parser.add_argument("--skip", type=int, default=2, help="frames to let pass first")
    args = parser.parse_args()

    try:
        with tarvo.open() as cam:
            print(f"camera {cam.info.product} '{cam.info.ident}', firmware {cam.info.firmware}")
            for frame in cam.frames(args.skip + 1):
                pass
            distance = frame.distance()
            rgb = frame.colorize(range_m=(args.near, args.far))
    except tarvo.Error as e:
        print(f"depth_png: {e} ({e.name})", file=sys.stderr)
        return 1
    write_png(args.output, rgb)
    valid = distance[distance < 60.0]
    summary = f"{valid.min():.3f} to {valid.max():.3f} m" if valid.size else "no valid pixel"
    print(f"frame {frame.index}: {frame.width}x{frame.height}, {summary}; wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
