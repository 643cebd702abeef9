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


LAYOUT_WITH_TEMPERATURES = (
    "frame_info[20] sequence:u64 lost_before:u32 monotonic_ns:u64 sensor_temperature:i16 "
    "illumination_temperature:i16 frame_bytes (little-endian)")


def raw_message(seq, frame, fmt=2, width=320, height=240, lost=0, mono=0, temperatures=None):
    """The layout without temperatures, or with them when given as (sensor, illumination)."""
    info = struct.pack("<IHHIIBBH", len(frame), fmt, seq & 0xFFFF, width, height,
                       len(frame) // (width * height) if width * height else 0, 0, 0)
    temps = struct.pack("<hh", *temperatures) if temperatures is not None else b""
    return info + struct.pack("<QIQ", seq, lost, mono) + temps + frame


def register_map(values):
    """tarvo.registers: "0xAA" -> "0xVV" per register from 0 on."""
    return {f"0x{i:02x}": f"0x{v:02x}" for i, v in enumerate(values)}


def mcap(frames, times, compression="", metadata=None, attachments=(), chunk_frames=2,
         temperatures=None, layout=None, extra_metadata=()):
    """temperatures: one (sensor, illumination) per frame, in the layout that has them (or the
    layout string given); extra_metadata: (name, map) records written after tarvo.camera."""
    out = MAGIC + rec(0x01, s("") + s("tarvo test writer"))
    if layout is None and temperatures is not None:
        layout = LAYOUT_WITH_TEMPERATURES
    channel = rec(0x04, struct.pack("<HH", 1, 0) + s("/tarvo/raw") + s("tarvo-raw") +
                  smap({"layout": layout} if layout is not None else {}))
    for first in range(0, len(frames), chunk_frames):
        body = channel
        for i in range(first, min(first + chunk_frames, len(frames))):
            temps = temperatures[i] if temperatures is not None else None
            body += rec(0x05, struct.pack("<HIQQ", 1, i, times[i], times[i]) +
                        raw_message(i, frames[i], mono=times[i], temperatures=temps))
        data = body
        if compression == "zstd":
            data = subprocess.run(["zstd", "-q", "-c"], input=body, stdout=subprocess.PIPE,
                                  check=True).stdout
        out += rec(0x06, struct.pack("<QQQI", times[first], times[-1], len(body),
                                     zlib.crc32(body)) + s(compression) +
                   struct.pack("<Q", len(data)) + data)
    if metadata:
        out += rec(0x0C, s("tarvo.camera") + smap(metadata))
    for name, values in extra_metadata:
        out += rec(0x0C, s(name) + smap(values))
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
    registers = register_map(range(256))
    gap = dict(registers)
    del gap["0x10"]
    files = {"not_mcap": b"hello, not a recording", "empty": b"",
             "bad_crc": bytes(bad_crc), "huge_chunk": bytes(huge), "orphan_message": orphan,
             "no_frames": MAGIC + rec(0x01, s("") + s("x")),
             "unknown_layout": mcap(frames, times, layout="frame_bytes only"),
             "short_temperatures": mcap([b""], times[:1], layout=LAYOUT_WITH_TEMPERATURES),
             "bad_register": mcap(frames, times, extra_metadata=[
                 ("tarvo.registers", dict(registers, **{"0x20": "0xzz"}))]),
             "register_gap": mcap(frames, times, extra_metadata=[("tarvo.registers", gap)]),
             "register_out_of_range": mcap(frames, times, extra_metadata=[
                 ("tarvo.registers", dict(registers, **{"0x100": "0x01"}))]),
             "wide_register": mcap(frames, times, extra_metadata=[
                 ("tarvo.registers", dict(registers, **{"0x05": "0x1ff"}))]),
             "bad_parameter": mcap(frames, times, extra_metadata=[
                 ("tarvo.parameters", {"12": "1e00000"})])}
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
elif __name__ == "__main__" and len(sys.argv) in (4, 5) and sys.argv[1] == "conditions":
    # conditions RAW OUT [no-registers]: the raw frames of RAW as "frames" writes them, each with
    # its own header temperatures (sensor 400 + 7k, illumination -50 - 3k tenths for frame k),
    # and the sensor's register file (register r holding (r * 7 + 0x35) & 0xff) unless told not to
    raw = open(sys.argv[2], "rb").read()
    n = 320 * 240 * 8
    frames = [raw[i:i + n] for i in range(0, len(raw) - n + 1, n)]
    times = [1_700_000_000_000_000_000 + i * 33_333_333 for i in range(len(frames))]
    temperatures = [(400 + 7 * k, -50 - 3 * k) for k in range(len(frames))]
    meta = {"product": "TV320-E2-1.3", "ident": "REC-8", "frame_rate": "30"}
    extra = [] if len(sys.argv) == 5 else [
        ("tarvo.registers", register_map([(r * 7 + 0x35) & 0xFF for r in range(256)]))]
    with open(sys.argv[3], "wb") as f:
        f.write(mcap(frames, times, "zstd", meta, temperatures=temperatures,
                     extra_metadata=extra))
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
             "cut_short": full[: len(full) * 2 // 3],
             "conditions": mcap(frames, times, "", meta, temperatures=[(400, -50)] * 3,
                                extra_metadata=[
                                    ("tarvo.registers", register_map(range(256))),
                                    ("tarvo.parameters", {"12": "1e000000", "7": "0400"})])}
    for name, data in seeds.items():
        with open(f"{folder}/{name}.mcap", "wb") as f:
            f.write(data)
