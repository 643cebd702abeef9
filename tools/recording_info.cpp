#include "recording_info.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mcap_reader.h"
#include "recording_metadata.h"
#include "tool.h"

namespace tarvo::tool {
namespace {

namespace rec = tarvo::recording;

// Lowest and highest of a temperature over the frames, tenths of a degree.
struct Range {
    int min = 0, max = 0;
    void add(int v, bool first) {
        min = first ? v : std::min(min, v);
        max = first ? v : std::max(max, v);
    }
};

struct FrameFacts {
    uint64_t frames = 0;
    uint64_t first_ns = 0, last_ns = 0;
    uint64_t lost = 0;  // frames the camera's stream lost while recording
    uint64_t late = 0;  // spacings over 1.5 times the median: the recorder missed frames
    uint64_t bad = 0;   // messages that are no raw frame
    uint64_t with_temperatures = 0;
    Range sensor, illumination;
};

// The sensor's register file: how many registers, or why it cannot be read.
struct RegisterFacts {
    size_t count = 0;
    std::string error;
};

RegisterFacts register_facts(const rec::McapContents &file) {
    RegisterFacts r;
    std::vector<uint32_t> values;
    if (rec::read_sensor_registers(file, values, r.error))
        r.count = values.size();
    return r;
}

bool frame_facts(const rec::McapContents &file, FrameFacts &f, std::string &error) {
    const rec::McapChannel *raw = file.channel_by_topic(rec::kRawTopic);
    rec::RawLayout layout{};
    if (raw == nullptr)
        return true;
    if (!rec::raw_layout_of(*raw, layout, error))
        return false;
    std::vector<uint64_t> times;
    for (const rec::McapMessage &m : file.messages) {
        if (m.channel_id != raw->id)
            continue;
        rec::RawFrameView view;
        std::string why;  // counted, not shown
        if (!rec::parse_raw_frame(m.data, layout, view, why)) {
            ++f.bad;
            continue;
        }
        if (view.has_temperatures) {
            f.sensor.add(view.sensor_temperature, f.with_temperatures == 0);
            f.illumination.add(view.illumination_temperature, f.with_temperatures == 0);
            ++f.with_temperatures;
        }
        f.lost += view.lost_before;
        times.push_back(m.log_time);
    }
    f.frames = times.size();
    if (times.empty())
        return true;
    f.first_ns = times.front();
    f.last_ns = times.back();
    std::vector<uint64_t> spacing;
    for (size_t i = 1; i < times.size(); ++i)
        spacing.push_back(times[i] - times[i - 1]);
    if (spacing.empty())
        return true;
    std::vector<uint64_t> sorted = spacing;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const uint64_t median = sorted[sorted.size() / 2];
    f.late = static_cast<uint64_t>(std::count_if(spacing.begin(), spacing.end(),
                                                 [&](uint64_t s) { return s * 2 > median * 3; }));
    return true;
}

std::map<uint16_t, uint64_t> counts_by_channel(const rec::McapContents &file) {
    std::map<uint16_t, uint64_t> counts;
    for (const rec::McapMessage &m : file.messages)
        ++counts[m.channel_id];
    return counts;
}

std::string schema_name(const rec::McapContents &file, uint16_t id) {
    const auto it = file.schemas.find(id);
    return it == file.schemas.end() ? std::string() : it->second.name;
}

double seconds(const FrameFacts &f) {
    return static_cast<double>(f.last_ns - f.first_ns) / 1e9;
}

std::string degrees(int tenths) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", tenths / 10.0);
    return b;
}

void print_conditions_text(const FrameFacts &f, const RegisterFacts &r) {
    if (f.with_temperatures > 0) {
        std::printf("temperatures: sensor %s to %s C, illumination %s to %s C\n",
                    degrees(f.sensor.min).c_str(), degrees(f.sensor.max).c_str(),
                    degrees(f.illumination.min).c_str(), degrees(f.illumination.max).c_str());
    } else {
        std::printf("temperatures: not recorded\n");
    }
    if (!r.error.empty())
        std::printf("%s\n", r.error.c_str());  // "register file: ..." and what is wrong
    else if (r.count > 0)
        std::printf("register file: %zu registers of the image sensor\n", r.count);
    else
        std::printf("register file: not recorded\n");
}

std::string conditions_json(const FrameFacts &f, const RegisterFacts &r) {
    std::string out = "\"temperatures\":";
    if (f.with_temperatures > 0) {
        out += "{\"sensor\":{\"min\":" + degrees(f.sensor.min) +
               ",\"max\":" + degrees(f.sensor.max) +
               "},\"illumination\":{\"min\":" + degrees(f.illumination.min) +
               ",\"max\":" + degrees(f.illumination.max) + "}}";
    } else {
        out += "null";
    }
    out += ",\"register_file\":{\"present\":";
    out += r.count > 0 ? "true" : "false";
    out += ",\"registers\":" + std::to_string(r.count);
    if (!r.error.empty())
        out += ",\"error\":" + json_string(r.error);
    return out + "}";
}

void print_text(const std::string &path, const rec::McapContents &file, const FrameFacts &f,
                const RegisterFacts &r) {
    std::printf("%s: %s, %llu bytes read\n", path.c_str(),
                file.complete ? "complete" : "cut short (no footer)",
                static_cast<unsigned long long>(file.whole_bytes));
    if (const rec::McapMetadata *cam = file.metadata_named("tarvo.camera")) {
        std::printf("camera:\n");
        for (const auto &[key, value] : cam->values)
            std::printf("  %s: %s\n", key.c_str(), value.c_str());
    }
    std::printf("channels:\n");
    const auto counts = counts_by_channel(file);
    for (const auto &[id, c] : file.channels) {
        const auto n = counts.contains(id) ? counts.at(id) : 0;
        std::printf("  %s (%s%s%s): %llu messages\n", c.topic.c_str(), c.message_encoding.c_str(),
                    c.schema_id ? ", " : "", schema_name(file, c.schema_id).c_str(),
                    static_cast<unsigned long long>(n));
    }
    std::printf("frames: %llu over %.3f s", static_cast<unsigned long long>(f.frames), seconds(f));
    if (f.frames > 1)
        std::printf(" (%.1f fps)", static_cast<double>(f.frames - 1) / std::max(seconds(f), 1e-9));
    std::printf("\ngaps: %llu frame(s) lost by the camera's stream, %llu late spacing(s)\n",
                static_cast<unsigned long long>(f.lost), static_cast<unsigned long long>(f.late));
    if (f.bad)
        std::printf("damaged frame messages: %llu\n", static_cast<unsigned long long>(f.bad));
    print_conditions_text(f, r);
    for (const rec::McapAttachment &a : file.attachments)
        std::printf("attachment %s: %zu bytes\n", a.name.c_str(), a.data.size());
    for (const std::string &w : file.warnings)
        std::printf("note: %s\n", w.c_str());
}

void print_json(const std::string &path, const rec::McapContents &file, const FrameFacts &f,
                const RegisterFacts &r) {
    std::string camera;
    if (const rec::McapMetadata *cam = file.metadata_named("tarvo.camera")) {
        for (const auto &[key, value] : cam->values)
            camera += (camera.empty() ? "" : ",") + json_string(key) + ":" + json_string(value);
    }
    std::string channels;
    const auto counts = counts_by_channel(file);
    for (const auto &[id, c] : file.channels) {
        channels += (channels.empty() ? "" : ",") + std::string("{\"topic\":") +
                    json_string(c.topic) + ",\"encoding\":" + json_string(c.message_encoding) +
                    ",\"schema\":" + json_string(schema_name(file, c.schema_id)) +
                    ",\"messages\":" + std::to_string(counts.contains(id) ? counts.at(id) : 0) +
                    "}";
    }
    std::string attachments;
    for (const rec::McapAttachment &a : file.attachments)
        attachments += (attachments.empty() ? "" : ",") + std::string("{\"name\":") +
                       json_string(a.name) + ",\"bytes\":" + std::to_string(a.data.size()) + "}";
    std::printf(
        "{\"file\":%s,\"complete\":%s,\"camera\":{%s},\"channels\":[%s],\"frames\":%llu,"
        "\"duration_s\":%.6f,\"lost\":%llu,\"late\":%llu,%s,\"attachments\":[%s]}\n",
        json_string(path).c_str(), file.complete ? "true" : "false", camera.c_str(),
        channels.c_str(), static_cast<unsigned long long>(f.frames), seconds(f),
        static_cast<unsigned long long>(f.lost), static_cast<unsigned long long>(f.late),
        conditions_json(f, r).c_str(), attachments.c_str());
}

}  // namespace

int show_recording(const std::string &path, bool json) {
    rec::McapContents file;
    std::string error;
    if (!rec::read_mcap_file(path, file, error))
        return fail("%s", error.c_str());
    FrameFacts facts;
    if (!frame_facts(file, facts, error))
        return fail("%s: %s", path.c_str(), error.c_str());
    const RegisterFacts registers = register_facts(file);
    if (json)
        print_json(path, file, facts, registers);
    else
        print_text(path, file, facts, registers);
    return kDone;
}

}  // namespace tarvo::tool
