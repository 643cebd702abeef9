// MCAP recordings read from whatever a file holds: records, chunks (zstd and plain), attachments,
// the raw frame messages inside them, and the decoded frames (CDR depth images, camera infos and
// point clouds) that tarvo export and tarvo.Recording read.
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "mcap_reader.h"
#include "recorded_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo::recording::McapContents contents;
    std::string error;
    if (!tarvo::recording::read_mcap(std::span(data, size), contents, error))
        return 0;
    for (const auto &m : contents.messages) {
        tarvo::recording::RawFrameView frame;
        tarvo::recording::parse_raw_frame(m.data, frame, error);
    }
    tarvo::recording::RecordedFrames frames;
    if (!frames.open("fuzz.mcap", std::move(contents), error))
        return 0;
    tarvo::recording::RecordedFrame f;
    for (size_t i = 0; i < frames.size(); ++i)
        frames.read(i, true, f, error);
    return 0;
}
