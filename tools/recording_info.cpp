#include "recording_info.h"

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "mcap_reader.h"
#include "tool.h"

namespace tarvo::tool {
namespace {

namespace rec = tarvo::recording;

struct FrameFacts {
    uint64_t frames = 0;
    uint64_t first_ns = 0, last_ns = 0;
    uint64_t lost = 0;  // frames the camera's stream lost while recording
    uint64_t late = 0;  // spacings over 1.5 times the median: the recorder missed frames
    uint64_t bad = 0;   // messages that are no raw frame
};

FrameFacts frame_facts(const rec::McapContents &file) {
    FrameFacts f;
    const rec::McapChannel *raw = file.channel_by_topic(rec::kRawTopic);
    if (raw == nullptr)
        return f;
    std::vector<uint64_t> times;
    for (const rec::McapMessage &m : file.messages) {
        if (m.channel_id != raw->id)
            continue;
        rec::RawFrameView view;
        std::string error;
        if (!rec::parse_raw_frame(m.data, view, error)) {
            ++f.bad;
            continue;
        }
        f.lost += view.lost_before;
        times.push_back(m.log_time);
    }
    f.frames = times.size();
    if (times.empty())
        return f;
    f.first_ns = times.front();
    f.last_ns = times.back();
    std::vector<uint64_t> spacing;
    for (size_t i = 1; i < times.size(); ++i)
        spacing.push_back(times[i] - times[i - 1]);
    if (spacing.empty())
        return f;
    std::vector<uint64_t> sorted = spacing;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const uint64_t median = sorted[sorted.size() / 2];
    f.late = static_cast<uint64_t>(std::count_if(spacing.begin(), spacing.end(),
                                                 [&](uint64_t s) { return s * 2 > median * 3; }));
    return f;
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

void print_text(const std::string &path, const rec::McapContents &file, const FrameFacts &f) {
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
    for (const rec::McapAttachment &a : file.attachments)
        std::printf("attachment %s: %zu bytes\n", a.name.c_str(), a.data.size());
    for (const std::string &w : file.warnings)
        std::printf("note: %s\n", w.c_str());
}

void print_json(const std::string &path, const rec::McapContents &file, const FrameFacts &f) {
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
        "\"duration_s\":%.6f,\"lost\":%llu,\"late\":%llu,\"attachments\":[%s]}\n",
        json_string(path).c_str(), file.complete ? "true" : "false", camera.c_str(),
        channels.c_str(), static_cast<unsigned long long>(f.frames), seconds(f),
        static_cast<unsigned long long>(f.lost), static_cast<unsigned long long>(f.late),
        attachments.c_str());
}

}  // namespace

int show_recording(const std::string &path, bool json) {
    rec::McapContents file;
    std::string error;
    if (!rec::read_mcap_file(path, file, error))
        return fail("%s", error.c_str());
    const FrameFacts facts = frame_facts(file);
    if (json)
        print_json(path, file, facts);
    else
        print_text(path, file, facts);
    return kDone;
}

}  // namespace tarvo::tool
