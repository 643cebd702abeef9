#include "cdr_reader.h"

#include <cstring>

namespace tarvo::recording {

namespace {
constexpr size_t kEncapsulation = 4;
constexpr uint8_t kCdrLittleEndian[kEncapsulation] = {0x00, 0x01, 0x00, 0x00};
}  // namespace

CdrReader::CdrReader(std::span<const uint8_t> message) {
    // The options bytes (the last two) carry padding hints that plain reading ignores.
    ok_ = message.size() >= kEncapsulation && std::memcmp(message.data(), kCdrLittleEndian, 2) == 0;
    if (ok_)
        body_ = message.subspan(kEncapsulation);
}

bool CdrReader::take(size_t align, size_t n, const uint8_t *&at) {
    if (!ok_)
        return false;
    const size_t start = (pos_ + align - 1) / align * align;
    if (start > body_.size() || n > body_.size() - start) {
        ok_ = false;
        return false;
    }
    at = body_.data() + start;
    pos_ = start + n;
    return true;
}

// A primitive of its own size, aligned to it; 0 past the end.
template <class T>
T CdrReader::scalar() {
    const uint8_t *at = nullptr;
    T v{};
    if (take(sizeof(T), sizeof(T), at))
        std::memcpy(&v, at, sizeof(T));
    return v;
}

uint8_t CdrReader::u8() {
    return scalar<uint8_t>();
}

uint32_t CdrReader::u32() {
    return scalar<uint32_t>();
}

int32_t CdrReader::i32() {
    return scalar<int32_t>();
}

double CdrReader::f64() {
    return scalar<double>();
}

std::string CdrReader::str() {
    const uint32_t n = u32();
    const uint8_t *at = nullptr;
    if (n == 0 || !take(1, n, at))  // the length counts the NUL: never 0
        return ok_ = false, std::string();
    return std::string(reinterpret_cast<const char *>(at), n - 1);
}

std::span<const uint8_t> CdrReader::octets() {
    const uint32_t n = u32();
    const uint8_t *at = nullptr;
    return take(1, n, at) ? std::span<const uint8_t>(at, n) : std::span<const uint8_t>();
}

std::vector<double> CdrReader::f64_seq() {
    const uint32_t n = u32();
    // Checked against the bytes left before anything is allocated.
    if (!ok_ || n > (body_.size() - pos_) / 8) {
        ok_ = false;
        return {};
    }
    std::vector<double> v(n);
    f64_array(v.data(), n);
    return v;
}

void CdrReader::f64_array(double *out, size_t n) {
    for (size_t i = 0; i < n; ++i)
        out[i] = f64();
}

}  // namespace tarvo::recording
