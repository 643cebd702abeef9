// The per-chip file of the calibration package, searched for in the folder it was unpacked into
// and split into the DRNU parameter file and the distance-image file, whatever the folder holds.
// A split either replaces both calibration files with the two parts of one candidate (and
// removes that candidate) or changes nothing; no temporary file is left either way, and nothing
// beside the folder is read or removed.
//
// Input: byte 0 flags (bits 0-1 extra entries, bit 2 calibration files already there, bit 3 the
// main candidate gets a name from the input, bit 4 it is a directory); each extra entry: a name
// length byte, the name, a 16-bit little-endian content length and the content; with bit 3 a
// name length byte and the name; the rest is the main candidate's content.
#include <tarvo/dev.h>
#include <tarvo/log.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "drivers/calib_package.h"
#include "private_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr const char *kExpected = "calib_and_param_012.bin";
constexpr const char *kParamName = "drnu_param.bin";
constexpr const char *kImagesName = "drnu_images.bin";
constexpr size_t kMaxName = 63;

struct Work {
    fs::path root;
    fs::path dir;  // the unpacked folder inside root, which is also the path prefix
    std::string prefix;
    fs::path outside;  // a per-chip file beside the folder, which no split may touch
    std::string outside_content;
    tarvo::calib::FileNameSet names[2];
};

Work &work() {
    static Work w;
    return w;
}

// Bytes as the folder's content: a missing entry reads as "absent".
using Snapshot = std::map<std::string, std::string>;

std::string read_all(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

Snapshot snapshot() {
    Snapshot s;
    for (const auto &entry : fs::directory_iterator(work().dir))
        s[entry.path().filename().string()] =
            entry.is_directory() ? "<dir>" : read_all(entry.path());
    return s;
}

void write_file(const std::string &name, const uint8_t *data, size_t size) {
    std::ofstream(work().dir / name, std::ios::binary)
        .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

// A name for an entry: no separator, no NUL, not one of the two calibration files.
std::string entry_name(const uint8_t *data, size_t size) {
    std::string name(reinterpret_cast<const char *>(data), size);
    for (char &c : name) {
        if (c == '/' || c == '\0')
            c = '_';
    }
    if (name.empty() || name == "." || name == ".." || name == kParamName || name == kImagesName)
        return {};
    return name;
}

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t take(size_t n) {
        n = n < size ? n : size;
        data += n;
        size -= n;
        return n;
    }
};

// The outcome the split promises, given the folder before and after.
void check(bool ok, const Snapshot &before, const Snapshot &after) {
    for (const auto &[name, content] : after) {
        if (name.find(".part") != std::string::npos && before.count(name) == 0)
            std::abort();  // a temporary file left behind
    }
    if (!ok) {
        if (after != before)
            std::abort();  // a failed split changed the folder
        return;
    }
    const auto param = after.find(kParamName);
    const auto images = after.find(kImagesName);
    if (param == after.end() || images == after.end())
        std::abort();
    const size_t p = param->second.size();
    if ((p != 16 && p != 20 && p != 24) || images->second.empty() ||
        images->second.size() % 256 != 0)
        std::abort();
    // Exactly one candidate went, it held the two parts, and nothing else changed.
    int gone = 0;
    Snapshot expected = before;
    for (const auto &[name, content] : before) {
        if (after.count(name) == 0) {
            ++gone;
            expected.erase(name);
            if (content != param->second + images->second)
                std::abort();
        }
    }
    expected[kParamName] = param->second;
    expected[kImagesName] = images->second;
    if (gone != 1 || after != expected)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    Work &w = work();
    w.root = tarvo::fuzz::private_dir("split");
    w.dir = w.root / "unpacked";
    w.prefix = w.dir.string() + "/";
    w.outside = w.root / "calib_and_param_000.bin";
    w.outside_content.assign(24 + 256, 'Z');
    std::ofstream(w.outside, std::ios::binary) << w.outside_content;
    // Without external modulation the split writes set 1; set 0 must stay unused.
    for (auto &set : w.names) {
        std::strcpy(set.parameters, kParamName);
        std::strcpy(set.distance_images, kImagesName);
    }
    std::strcpy(w.names[0].parameters, "unused_param.bin");
    std::strcpy(w.names[0].distance_images, "unused_images.bin");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    Work &w = work();
    fs::remove_all(w.dir);
    fs::create_directories(w.dir);
    const uint8_t flags = data[0];
    Reader in{data + 1, size - 1};
    if (flags & 4) {
        const uint8_t old_param[24] = {1, 2, 3};
        const uint8_t old_images[256] = {4, 5, 6};
        write_file(kParamName, old_param, sizeof old_param);
        write_file(kImagesName, old_images, sizeof old_images);
    }
    for (int i = 0; i < (flags & 3); ++i) {
        if (in.size < 1)
            break;
        const size_t name_len = in.data[0] % (kMaxName + 1);
        in.take(1);
        const uint8_t *name = in.data;
        const std::string entry = entry_name(name, in.take(name_len));
        size_t content_len = 0;
        if (in.size >= 2)
            content_len = in.data[0] | in.data[1] << 8;
        in.take(2);
        const uint8_t *content = in.data;
        content_len = in.take(content_len);
        if (!entry.empty())
            write_file(entry, content, content_len);
    }
    std::string main_name = kExpected;
    if (flags & 8) {
        const size_t name_len = in.size > 0 ? in.data[0] % (kMaxName + 1) : 0;
        in.take(1);
        const uint8_t *name = in.data;
        main_name = entry_name(name, in.take(name_len));
    }
    if (!main_name.empty() && !fs::exists(w.dir / main_name)) {
        if (flags & 16)
            fs::create_directory(w.dir / main_name);
        else
            write_file(main_name, in.data, in.size);
    }

    tarvo_dev_t dev{};
    dev.path = w.prefix.c_str();
    const Snapshot before = snapshot();
    const std::string pattern = w.prefix + "calib_and_param*.bin";
    const bool ok = tarvo::calib::_parase_file(&dev, w.names, pattern.c_str(), kExpected);
    check(ok, before, snapshot());
    if (read_all(w.outside) != w.outside_content)
        std::abort();  // the split reached beside the folder
    return 0;
}
