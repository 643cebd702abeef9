// Reads a recording with an MCAP reader that is not ours (@mcap/core, zstd through fzstd) and
// checks what tarvo record promises. Usage:
//   node read_recording.cjs complete FILE FRAMES [--depth R] [--points] [--temperatures S I]
//        [--register 0xAA=0xVV]...
//   node read_recording.cjs truncated FILE
// Prints what it found; exits 1 with "FAIL: ..." on the first broken promise.
"use strict";
const fs = require("fs");
const { McapIndexedReader, McapStreamReader } = require("@mcap/core");
const fzstd = require("fzstd");

const decompressHandlers = {
  zstd: (data, size) => fzstd.decompress(data, new Uint8Array(Number(size))),
};

function fail(message) {
  console.log("FAIL: " + message);
  process.exit(1);
}
function check(ok, message) {
  if (!ok) fail(message);
}

// A CDR reader: primitives aligned to their size after the 4-byte encapsulation header.
class Cdr {
  constructor(bytes) {
    check(bytes[0] === 0 && bytes[1] === 1, "CDR encapsulation is not little-endian XCDR1");
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.bytes = bytes;
    this.pos = 4;
  }
  align(n) {
    while ((this.pos - 4) % n !== 0) this.pos++;
  }
  u8() {
    return this.bytes[this.pos++];
  }
  u32() {
    this.align(4);
    const v = this.view.getUint32(this.pos, true);
    this.pos += 4;
    return v;
  }
  i32() {
    this.align(4);
    const v = this.view.getInt32(this.pos, true);
    this.pos += 4;
    return v;
  }
  f64() {
    this.align(8);
    const v = this.view.getFloat64(this.pos, true);
    this.pos += 8;
    return v;
  }
  str() {
    const n = this.u32();
    check(n >= 1 && this.bytes[this.pos + n - 1] === 0, "CDR string without its NUL");
    const s = Buffer.from(this.bytes.subarray(this.pos, this.pos + n - 1)).toString("utf8");
    this.pos += n;
    return s;
  }
  octets() {
    const n = this.u32();
    const v = this.bytes.subarray(this.pos, this.pos + n);
    this.pos += n;
    return v;
  }
  header() {
    return { sec: this.i32(), nanosec: this.u32(), frame_id: this.str() };
  }
}

function parseImage(bytes) {
  const c = new Cdr(bytes);
  const m = { header: c.header(), height: c.u32(), width: c.u32(), encoding: c.str() };
  m.is_bigendian = c.u8();
  m.step = c.u32();
  m.data = c.octets();
  check(c.pos === bytes.length, "Image message has bytes after its data");
  return m;
}

function parseCameraInfo(bytes) {
  const c = new Cdr(bytes);
  const m = { header: c.header(), height: c.u32(), width: c.u32(), model: c.str() };
  const nd = c.u32();
  m.d = Array.from({ length: nd }, () => c.f64());
  m.k = Array.from({ length: 9 }, () => c.f64());
  m.r = Array.from({ length: 9 }, () => c.f64());
  m.p = Array.from({ length: 12 }, () => c.f64());
  m.binning = [c.u32(), c.u32()];
  m.roi = [c.u32(), c.u32(), c.u32(), c.u32(), c.u8()];
  check(c.pos === bytes.length, "CameraInfo message has bytes after its fields");
  return m;
}

function parsePointCloud(bytes) {
  const c = new Cdr(bytes);
  const m = { header: c.header(), height: c.u32(), width: c.u32(), fields: [] };
  const nf = c.u32();
  for (let i = 0; i < nf; i++)
    m.fields.push({ name: c.str(), offset: c.u32(), datatype: c.u8(), count: c.u32() });
  m.is_bigendian = c.u8();
  m.point_step = c.u32();
  m.row_step = c.u32();
  m.data = c.octets();
  m.is_dense = c.u8();
  check(c.pos === bytes.length, "PointCloud2 message has bytes after is_dense");
  return m;
}

// The raw frame message: 20-byte frame information, sequence, lost count, monotonic time, the
// sensor and illumination temperatures (i16 tenths of a degree, when the channel's layout names
// them), bytes.
const TEMPERATURES = "sensor_temperature:i16 illumination_temperature:i16";
function rawLayoutHasTemperatures(channel) {
  const layout = channel.metadata.get("layout");
  check(layout !== undefined && layout.startsWith("frame_info[20] sequence:u64 lost_before:u32 monotonic_ns:u64"),
    "raw channel layout " + layout);
  return layout.includes(TEMPERATURES);
}
function parseRaw(bytes, withTemperatures) {
  const v = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const header = withTemperatures ? 44 : 40;
  return {
    sensor_temperature: withTemperatures ? v.getInt16(40, true) : undefined,
    illumination_temperature: withTemperatures ? v.getInt16(42, true) : undefined,
    frame_size: v.getUint32(0, true),
    frame_idx: v.getUint16(6, true),
    width: v.getUint32(8, true),
    height: v.getUint32(12, true),
    sequence: v.getBigUint64(20, true),
    lost_before: v.getUint32(28, true),
    monotonic_ns: v.getBigUint64(32, true),
    frame_bytes: bytes.length - header,
  };
}

function fileReadable(path) {
  const fd = fs.openSync(path, "r");
  const size = BigInt(fs.fstatSync(fd).size);
  return {
    size: async () => size,
    read: async (offset, length) => {
      const buf = Buffer.alloc(Number(length));
      fs.readSync(fd, buf, 0, Number(length), Number(offset));
      return new Uint8Array(buf.buffer, buf.byteOffset, buf.length);
    },
  };
}

function median(values) {
  const s = [...values].sort((a, b) => a - b);
  return s[Math.floor(s.length / 2)];
}

function checkDepth(msg, radius) {
  const img = parseImage(msg.data);
  check(img.encoding === "32FC1", "depth encoding " + img.encoding);
  check(img.header.frame_id === "tarvo_optical_frame", "depth frame id " + img.header.frame_id);
  check(img.step === img.width * 4 && img.data.length === img.step * img.height, "depth size");
  const ns = BigInt(img.header.sec) * 1000000000n + BigInt(img.header.nanosec);
  check(ns === msg.logTime, "depth stamp differs from its log time");
  const f = new Float32Array(img.data.slice().buffer);
  const centre = [];
  for (let y = img.height / 2 - 5; y < img.height / 2 + 5; y++)
    for (let x = img.width / 2 - 5; x < img.width / 2 + 5; x++) centre.push(f[y * img.width + x]);
  const d = median(centre);
  const nan = f.filter((v) => Number.isNaN(v)).length;
  console.log(`depth ${img.width}x${img.height} centre ${d.toFixed(4)} m, ${nan} NaN pixels`);
  check(Math.abs(d - radius) < 0.05, `centre distance ${d} is not ${radius} m`);
  check(f.every((v) => Number.isNaN(v) || (v > 0 && v < 60)), "depth holds invalid codes");
}

async function complete(path, frames, options) {
  const reader = await McapIndexedReader.Initialize({
    readable: fileReadable(path),
    decompressHandlers,
  });
  check(reader.header.profile === "ros2", "profile " + reader.header.profile);
  const topics = new Map([...reader.channelsById.values()].map((c) => [c.topic, c]));
  const expected = ["/tarvo/raw"];
  if (options.depth !== undefined) expected.push("/tarvo/depth/image_raw", "/tarvo/depth/camera_info");
  if (options.points) expected.push("/tarvo/points");
  check(
    JSON.stringify([...topics.keys()].sort()) === JSON.stringify(expected.sort()),
    "channels " + [...topics.keys()].join(" "),
  );
  check(topics.get("/tarvo/raw").messageEncoding === "tarvo-raw", "raw message encoding");
  const withTemperatures = rawLayoutHasTemperatures(topics.get("/tarvo/raw"));
  check(withTemperatures || options.temperatures === undefined, "raw frames without temperatures");
  const schemaOf = { "/tarvo/depth/image_raw": "sensor_msgs/msg/Image",
    "/tarvo/depth/camera_info": "sensor_msgs/msg/CameraInfo", "/tarvo/points": "sensor_msgs/msg/PointCloud2" };
  for (const [topic, name] of Object.entries(schemaOf)) {
    if (!topics.has(topic)) continue;
    const ch = topics.get(topic);
    const schema = reader.schemasById.get(ch.schemaId);
    check(schema && schema.name === name && schema.encoding === "ros2msg", "schema of " + topic);
    check(ch.messageEncoding === "cdr", "message encoding of " + topic);
    const text = Buffer.from(schema.data).toString();
    check(text.includes("MSG: std_msgs/Header") && text.includes("MSG: builtin_interfaces/Time"),
      "schema of " + topic + " lacks its dependencies");
  }
  const stats = reader.statistics;
  check(stats !== undefined, "no statistics");
  check(stats.messageCount === BigInt(frames * expected.length), "message count " + stats.messageCount);
  for (const ch of topics.values())
    check(stats.channelMessageCounts.get(ch.id) === BigInt(frames), "message count of " + ch.topic);
  check(reader.chunkIndexes.length >= 1, "no chunk index");
  check(reader.chunkIndexes.every((c) => c.compression === "zstd"), "chunks not zstd");

  const counts = new Map();
  let lastSeq = -1n, lastLog = 0n, lastDepth = null, lastInfo = null, lastPoints = null;
  for await (const msg of reader.readMessages({ validateCrcs: true })) {
    const topic = reader.channelsById.get(msg.channelId).topic;
    counts.set(topic, (counts.get(topic) || 0) + 1);
    if (topic === "/tarvo/raw") {
      const raw = parseRaw(msg.data, withTemperatures);
      if (options.temperatures !== undefined)
        check(raw.sensor_temperature === options.temperatures[0] &&
          raw.illumination_temperature === options.temperatures[1],
          `frame temperatures ${raw.sensor_temperature} ${raw.illumination_temperature}`);
      check(raw.frame_bytes === raw.frame_size && raw.frame_size === raw.width * raw.height * 8,
        "raw frame of " + raw.frame_bytes + " bytes");
      check(raw.sequence > lastSeq && msg.logTime >= lastLog, "raw frames out of order");
      check(msg.publishTime === msg.logTime, "publish time differs from log time");
      lastSeq = raw.sequence;
      lastLog = msg.logTime;
    } else if (topic === "/tarvo/depth/image_raw") lastDepth = msg;
    else if (topic === "/tarvo/depth/camera_info") lastInfo = msg;
    else lastPoints = msg;
  }
  for (const topic of expected)
    check(counts.get(topic) === frames, `${counts.get(topic)} messages on ${topic}`);

  const metadata = [];
  for await (const m of reader.readMetadata()) metadata.push(m);
  const camera = metadata.find((m) => m.name === "tarvo.camera");
  check(camera !== undefined, "no tarvo.camera metadata");
  for (const key of ["product", "ident", "firmware", "chip_id", "wafer_id", "frame_rate",
    "integration_time_us", "modulation_frequency_khz", "lens_fx", "width", "height"])
    check(camera.metadata.has(key), "tarvo.camera lacks " + key);
  check(metadata.some((m) => m.name === "tarvo.parameters"), "no tarvo.parameters metadata");
  // The image sensor's register file: one entry per register, "0xAA" -> "0xVV".
  const registers = metadata.find((m) => m.name === "tarvo.registers");
  check(registers !== undefined, "no tarvo.registers metadata");
  check(registers.metadata.size === 256, registers.metadata.size + " registers");
  for (let r = 0; r < 256; r++) {
    const value = registers.metadata.get("0x" + r.toString(16).padStart(2, "0"));
    check(value !== undefined && /^0x[0-9a-f]{2,8}$/.test(value), `register ${r} = ${value}`);
  }
  if (options.registers)
    for (const [address, value] of Object.entries(options.registers))
      check(registers.metadata.get(address) === value,
        `register ${address} = ${registers.metadata.get(address)}, not ${value}`);
  const attachments = [];
  for await (const a of reader.readAttachments({ validateCrcs: true })) attachments.push(a.name);
  check(attachments.length === reader.attachmentIndexes.length, "attachment index count");

  if (options.depth !== undefined) {
    checkDepth(lastDepth, options.depth);
    const info = parseCameraInfo(lastInfo.data);
    check(info.model === "plumb_bob" && info.d.length === 5, "camera info distortion");
    check(info.k[0] > 0 && info.k[4] > 0 && info.k[8] === 1, "camera info K");
    check(info.header.frame_id === "tarvo_optical_frame", "camera info frame id");
  }
  if (options.points) {
    const pc = parsePointCloud(lastPoints.data);
    check(pc.height > 1 && pc.is_dense === 0, "cloud is not organized");
    check(["x", "y", "z"].every((n, i) => pc.fields[i].name === n && pc.fields[i].datatype === 7),
      "cloud fields");
    check(pc.data.length === pc.row_step * pc.height, "cloud size");
  }
  console.log(`complete: ${frames} frames on ${expected.length} channels, ` +
    `${reader.chunkIndexes.length} chunks, attachments: ${attachments.join(" ") || "none"}`);
}

// A file whose writer died: every whole chunk reads with valid CRCs, the footer is missing.
function truncated(path) {
  const reader = new McapStreamReader({ decompressHandlers, validateCrcs: true });
  reader.append(new Uint8Array(fs.readFileSync(path)));
  let raw = 0, lastSeq = -1n;
  const channels = new Map();
  for (let rec; (rec = reader.nextRecord()) !== undefined;) {
    if (rec.type === "Channel") channels.set(rec.id, rec);
    const channel = rec.type === "Message" ? channels.get(rec.channelId) : undefined;
    if (channel !== undefined && channel.topic === "/tarvo/raw") {
      const r = parseRaw(rec.data, rawLayoutHasTemperatures(channel));
      check(r.sequence > lastSeq && r.frame_bytes === r.frame_size, "raw frame broken");
      lastSeq = r.sequence;
      raw++;
    }
    check(rec.type !== "Footer", "the file is complete");
  }
  check(!reader.done(), "the reader saw the end of the file");
  check(raw > 0, "no frame readable");
  console.log(`truncated: ${raw} frames readable`);
}

async function main() {
  const [mode, path, ...rest] = process.argv.slice(2);
  if (mode === "truncated") return truncated(path);
  const options = {};
  const i = rest.indexOf("--depth");
  if (i >= 0) options.depth = Number(rest[i + 1]);
  options.points = rest.includes("--points");
  const t = rest.indexOf("--temperatures");
  if (t >= 0) options.temperatures = [Number(rest[t + 1]), Number(rest[t + 2])];
  options.registers = {};
  rest.forEach((arg, k) => {
    if (arg === "--register") {
      const [address, value] = rest[k + 1].split("=");
      options.registers[address] = value;
    }
  });
  return complete(path, Number(rest[0]), options);
}

main().catch((e) => fail(e.message));
