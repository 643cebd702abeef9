// CRC-32 with the zlib/PNG polynomial (reflected 0xEDB88320), as MCAP files use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvo::recording {

// Continues `crc` (0 to start) over len bytes and returns the new value. Thread-safe.
uint32_t crc32_update(uint32_t crc, const void *data, size_t len);

}  // namespace tarvo::recording
