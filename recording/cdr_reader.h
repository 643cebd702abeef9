// Reading ROS 2 CDR messages (XCDR1, little-endian, as the recorder writes them) defensively:
// every read is checked against the bytes the message holds; after the first overrun every read
// gives zero and ok() stays false, so a caller checks once at the end.
//
// Depends on the C++ standard library only (it is part of tarvo_mcap_reader).
//
// Thread context: one object per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tarvo::recording {

class CdrReader {
  public:
    // `message` begins with the 4-byte encapsulation header; only little-endian plain CDR is
    // read (any other header makes ok() false).
    explicit CdrReader(std::span<const uint8_t> message);

    uint8_t u8();
    uint32_t u32();
    int32_t i32();
    double f64();
    std::string str();                      // u32 length with the NUL, bytes, NUL
    std::span<const uint8_t> octets();      // u32 count, bytes (a view into the message)
    std::vector<double> f64_seq();          // u32 count, doubles
    void f64_array(double *out, size_t n);  // no count

    bool ok() const { return ok_; }

  private:
    bool take(size_t align, size_t n, const uint8_t *&at);
    template <class T>
    T scalar();
    std::span<const uint8_t> body_;  // after the encapsulation header
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace tarvo::recording
