// MCAP recordings read from whatever a file holds: records, chunks (zstd and plain), attachments,
// the raw frame messages inside them (either layout), the register file and parameter values,
// and the decoded or raw frames (CDR depth images, camera infos and
// point clouds) that tarvo export and tarvo.Recording read.
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "mcap_reader.h"
#include "recorded_frames.h"
#include "recording_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo::recording::McapContents contents;
    std::string error;
    if (!tarvo::recording::read_mcap(std::span(data, size), contents, error))
        return 0;
    for (const auto &[id, channel] : contents.channels) {
        tarvo::recording::RawLayout layout{};
        if (!tarvo::recording::raw_layout_of(channel, layout, error))
            continue;
        for (const auto &m : contents.messages) {
            tarvo::recording::RawFrameView frame;
            if (m.channel_id == id)
                tarvo::recording::parse_raw_frame(m.data, layout, frame, error);
        }
    }
    std::vector<uint32_t> registers;
    tarvo::recording::read_sensor_registers(contents, registers, error);
    std::map<uint8_t, std::vector<uint8_t>> parameters;
    tarvo::recording::read_parameters(contents, parameters, error);
    tarvo::recording::RecordedFrames frames;
    if (!frames.open("fuzz.mcap", std::move(contents), error, tarvo::recording::FrameKind::kAny))
        return 0;
    tarvo::recording::RecordedFrame f;
    for (size_t i = 0; i < frames.size(); ++i)
        frames.read(i, true, f, error);
    return 0;
}
