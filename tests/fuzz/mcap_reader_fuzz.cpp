// MCAP recordings read from whatever a file holds: records, chunks (zstd and plain), attachments,
// and the raw frame messages inside them.
#include <cstdint>
#include <span>
#include <string>

#include "mcap_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo::recording::McapContents contents;
    std::string error;
    if (!tarvo::recording::read_mcap(std::span(data, size), contents, error))
        return 0;
    for (const auto &m : contents.messages) {
        tarvo::recording::RawFrameView frame;
        tarvo::recording::parse_raw_frame(m.data, frame, error);
    }
    return 0;
}
