#include "recording_metadata.h"

#include <cctype>
#include <cstdio>
#include <optional>

namespace tarvo::recording {

namespace {

std::optional<uint64_t> hex_digits(const std::string &text, size_t first, size_t max_digits) {
    if (text.size() <= first || text.size() - first > max_digits)
        return std::nullopt;
    uint64_t v = 0;
    for (size_t i = first; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!std::isxdigit(c))
            return std::nullopt;
        v = v * 16 + static_cast<uint64_t>(std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
    }
    return v;
}

// "0x" and 1 to max_digits hex digits.
std::optional<uint64_t> prefixed_hex(const std::string &text, size_t max_digits) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return std::nullopt;
    return hex_digits(text, 2, max_digits);
}

std::optional<uint8_t> parameter_number(const std::string &text) {
    if (text.empty() || text.size() > 3)
        return std::nullopt;
    unsigned v = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 255)
        return std::nullopt;
    return static_cast<uint8_t>(v);
}

std::optional<std::vector<uint8_t>> hex_bytes(const std::string &text) {
    if (text.size() % 2 != 0 || text.size() / 2 > kMaxParameterBytes)
        return std::nullopt;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); i += 2) {
        const auto b = hex_digits(text.substr(i, 2), 0, 2);
        if (!b)
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(*b));
    }
    return out;
}

std::string entry(const std::string &key, const std::string &value) {
    std::string out = "'";
    out.append(printable(key)).append("' = '").append(printable(value)).append("'");
    return out;
}

std::string hex_text(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%02x", static_cast<unsigned>(v));
    return b;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> register_metadata(
    std::span<const uint32_t> values) {
    std::vector<std::pair<std::string, std::string>> out;
    out.reserve(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        out.emplace_back(hex_text(static_cast<uint32_t>(i)), hex_text(values[i]));
    return out;
}

bool read_sensor_registers(const McapContents &contents, std::vector<uint32_t> &out,
                           std::string &error) {
    out.clear();
    const McapMetadata *meta = contents.metadata_named(kRegistersMetadata);
    if (meta == nullptr)
        return true;
    if (meta->values.empty()) {
        error = "register file: no registers";
        return false;
    }
    std::map<uint64_t, uint32_t> by_address;
    for (const auto &[key, value] : meta->values) {
        const auto address = prefixed_hex(key, 4);
        const auto v = prefixed_hex(value, 8);
        if (!address || !v || *address >= kSensorRegisterCount) {
            error = "register file: invalid entry " + entry(key, value) +
                    " (want \"0xAA\" = \"0xVV\", addresses 0x00 to 0xff)";
            return false;
        }
        if (!by_address.emplace(*address, static_cast<uint32_t>(*v)).second) {
            error = "register file: register " + hex_text(static_cast<uint32_t>(*address)) +
                    " given twice";
            return false;
        }
    }
    for (const auto &[address, value] : by_address) {
        if (address != out.size()) {
            error = "register file: register " + hex_text(static_cast<uint32_t>(out.size())) +
                    " missing";
            out.clear();
            return false;
        }
        out.push_back(value);
    }
    return true;
}

bool read_parameters(const McapContents &contents, std::map<uint8_t, std::vector<uint8_t>> &out,
                     std::string &error) {
    out.clear();
    const McapMetadata *meta = contents.metadata_named(kParametersMetadata);
    if (meta == nullptr)
        return true;
    for (const auto &[key, value] : meta->values) {
        const auto id = parameter_number(key);
        auto bytes = hex_bytes(value);
        if (!id || !bytes) {
            error = "parameter values: invalid entry " + entry(key, value) +
                    " (want a number 0 to 255 = up to 18 bytes in hex)";
            out.clear();
            return false;
        }
        out[*id] = std::move(*bytes);
    }
    return true;
}

}  // namespace tarvo::recording
