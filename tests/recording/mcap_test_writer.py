"""A small MCAP writer for tests: raw frame messages on /tarvo/raw in chunks (plain or zstd),
the camera's metadata and attachments. Used to make the reader's fuzz seeds and test files."""
import struct
import sys
import subprocess
import zlib

MAGIC = b"\x89MCAP0\r\n"


def s(text):
    b = text.encode()
    return struct.pack("<I", len(b)) + b


def smap(d):
    body = b"".join(s(k) + s(v) for k, v in d.items())
    return struct.pack("<I", len(body)) + body


def rec(op, content):
    return struct.pack("<BQ", op, len(content)) + content


def raw_message(seq, frame, fmt=2, width=320, height=240, lost=0, mono=0):
    info = struct.pack("<IHHIIBBH", len(frame), fmt, seq & 0xFFFF, width, height,
                       len(frame) // (width * height) if width * height else 0, 0, 0)
    return info + struct.pack("<QIQ", seq, lost, mono) + frame


def mcap(frames, times, compression="", metadata=None, attachments=(), chunk_frames=2):
    out = MAGIC + rec(0x01, s("") + s("tarvo test writer"))
    channel = rec(0x04, struct.pack("<HH", 1, 0) + s("/tarvo/raw") + s("tarvo-raw") + smap({}))
    for first in range(0, len(frames), chunk_frames):
        body = channel
        for i in range(first, min(first + chunk_frames, len(frames))):
            body += rec(0x05, struct.pack("<HIQQ", 1, i, times[i], times[i]) +
                        raw_message(i, frames[i], mono=times[i]))
        data = body
        if compression == "zstd":
            data = subprocess.run(["zstd", "-q", "-c"], input=body, stdout=subprocess.PIPE,
                                  check=True).stdout
        out += rec(0x06, struct.pack("<QQQI", times[first], times[-1], len(body),
                                     zlib.crc32(body)) + s(compression) +
                   struct.pack("<Q", len(data)) + data)
    if metadata:
        out += rec(0x0C, s("tarvo.camera") + smap(metadata))
    for name, data in attachments:
        content = struct.pack("<QQ", 0, 0) + s(name) + s("application/octet-stream") + \
            struct.pack("<Q", len(data)) + data
        out += rec(0x09, content + struct.pack("<I", zlib.crc32(content)))
    out += rec(0x0F, struct.pack("<I", 0))
    out += rec(0x02, struct.pack("<QQI", 0, 0, 0)) + MAGIC
    return out


def hostile(folder, frames, times):
    """Damaged recordings, each of which a reader must refuse with an error."""
    good = mcap(frames, times, "")
    header_end = len(MAGIC) + 9 + len(s("") + s("tarvo test writer"))
    chunk_at = header_end
    bad_crc = bytearray(good)
    bad_crc[chunk_at + 9 + 24] ^= 0xFF  # the chunk's uncompressed CRC
    huge = bytearray(good)
    huge[chunk_at + 9 + 16:chunk_at + 9 + 24] = struct.pack("<Q", 1 << 62)
    orphan = MAGIC + rec(0x05, struct.pack("<HIQQ", 9, 0, 0, 0) + b"x")
    zstd_lie = mcap(frames, times, "zstd")
    zstd_lie = bytearray(zstd_lie)
    zstd_lie[-40] ^= 0x55
    files = {"not_mcap": b"hello, not a recording", "empty": b"",
             "bad_crc": bytes(bad_crc), "huge_chunk": bytes(huge), "orphan_message": orphan,
             "no_frames": MAGIC + rec(0x01, s("") + s("x"))}
    for name, data in files.items():
        with open(f"{folder}/{name}.mcap", "wb") as f:
            f.write(data)


if __name__ == "__main__" and len(sys.argv) in (4, 5) and sys.argv[1] == "frames":
    # frames RAW OUT [DIR]: the raw frames of RAW (concatenated 320 x 240 x 8 bytes) at 30 fps,
    # the files of DIR as attachments
    raw = open(sys.argv[2], "rb").read()
    n = 320 * 240 * 8
    frames = [raw[i:i + n] for i in range(0, len(raw) - n + 1, n)]
    times = [1_700_000_000_000_000_000 + i * 33_333_333 for i in range(len(frames))]
    meta = {"product": "TV320-E2-1.3", "ident": "REC-7", "chip_id": "3", "wafer_id": "2",
            "firmware": "113", "frame_rate": "30"}
    import os
    folder = sys.argv[4] if len(sys.argv) == 5 else None
    attachments = [(name, open(os.path.join(folder, name), "rb").read())
                   for name in sorted(os.listdir(folder))] if folder else []
    with open(sys.argv[3], "wb") as f:
        f.write(mcap(frames, times, "zstd", meta, attachments))
elif __name__ == "__main__" and len(sys.argv) == 3 and sys.argv[1] == "hostile":
    hostile(sys.argv[2], [bytes(range(64))] * 3, [1, 2, 3])
elif __name__ == "__main__":
    folder = sys.argv[1]
    frames = [bytes([i]) * 32 for i in range(3)]
    times = [1000, 2000, 3000]
    meta = {"product": "TV320-E2-1.3", "ident": "REC-1", "chip_id": "1", "wafer_id": "1"}
    full = mcap(frames, times, "zstd", meta, [("calib_and_param_001.bin", b"abc")])
    seeds = {"zstd_chunks": full,
             "plain_chunks": mcap([bytes(8)], [5], "", meta, [("a", b"x")]),
             "cut_short": full[: len(full) * 2 // 3]}
    for name, data in seeds.items():
        with open(f"{folder}/{name}.mcap", "wb") as f:
            f.write(data)
