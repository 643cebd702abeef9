// Unpacking the calibration package's zip archive with libzip. The archive is outside input:
// every entry is checked before a byte of it is written, and nothing is written outside the
// target directory or past the size bound.
#include "drivers/calib_package.h"

#include <tarvo/log.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "api/path.h"
#include "files/safe_file.h"

#if __has_include(<zip.h>)
#include <zip.h>
#define TARVO_HAVE_LIBZIP 1
#endif

namespace tarvo::calib {
namespace {

constexpr const char *kTag = "zip_extract";
// A calibration package holds a handful of files; a hostile one must not fill the data folder
// with thousands of files or folders nested thousands deep.
constexpr int64_t kMaxEntries = 256;
constexpr size_t kMaxDepth = 8;  // folders above a file

// The entry name as path components, or empty when the name may not be written: absolute
// names, drive letters and ".." components would leave the target directory.
std::vector<std::string> safe_components(std::string_view raw) {
    const std::string name = to_posix_separators(raw);
    if (name.empty() || name.front() == '/' || (name.size() >= 2 && name[1] == ':'))
        return {};
    std::vector<std::string> parts;
    size_t begin = 0;
    while (begin <= name.size()) {
        size_t end = name.find('/', begin);
        if (end == std::string::npos)
            end = name.size();
        std::string part = name.substr(begin, end - begin);
        if (part == "..")
            return {};
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        begin = end + 1;
    }
    return parts;
}

// Creates the directories leading to an entry inside `dir`; an existing component that is not
// a real directory (a symbolic link, say) refuses the entry.
bool make_parents(const std::string &dir, const std::vector<std::string> &parts) {
    std::string path = dir;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        path = path_join(path, parts[i]);
        struct stat st;
        if (lstat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return false;
            continue;
        }
        if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

#ifdef TARVO_HAVE_LIBZIP

struct ArchiveCloser {
    void operator()(zip_t *za) const { zip_discard(za); }
};
struct EntryCloser {
    void operator()(zip_file_t *zf) const { zip_fclose(zf); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;
using Entry = std::unique_ptr<zip_file_t, EntryCloser>;

bool is_link_or_special(zip_t *za, zip_uint64_t index) {
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(za, index, 0, &opsys, &attributes) != 0)
        return true;
    if (opsys != ZIP_OPSYS_UNIX)
        return false;
    const mode_t type = (attributes >> 16) & S_IFMT;
    return type != 0 && type != S_IFREG && type != S_IFDIR;
}

// What an entry will write: its target path, or empty when it is skipped.
struct Plan {
    zip_uint64_t index = 0;
    std::string name;
    std::string path;
    std::vector<std::string> parts;
    zip_uint64_t size = 0;
};

// Checks every entry before anything is written; false refuses the whole archive.
bool plan_entries(zip_t *za, const char *zip_path, const std::string &dir, uint64_t max_bytes,
                  std::vector<Plan> &plans) {
    const zip_int64_t count = zip_get_num_entries(za, 0);
    if (count > kMaxEntries) {
        zr_log(4, "ERR", "[%s] %s holds %lld entries, at most %lld are unpacked\n", kTag, zip_path,
               static_cast<long long>(count), static_cast<long long>(kMaxEntries));
        return false;
    }
    uint64_t total = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za, index, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME) ||
            !(st.valid & ZIP_STAT_SIZE)) {
            zr_log(4, "ERR", "[%s] %s: entry %lld unreadable\n", kTag, zip_path,
                   static_cast<long long>(i));
            return false;
        }
        const std::string name = st.name;
        if (safe_components(name).size() > kMaxDepth + 1) {
            zr_log(4, "ERR", "[%s] %s: entry %s is nested deeper than %zu folders\n", kTag,
                   zip_path, name.c_str(), kMaxDepth);
            return false;
        }
        if (!name.empty() && (name.back() == '/' || name.back() == '\\'))
            continue;  // directories come with the files inside them
        Plan plan;
        plan.parts = safe_components(name);
        if (plan.parts.empty()) {
            zr_log(3, "WRN", "[%s] %s: entry %s leaves the target directory, skipped\n", kTag,
                   zip_path, name.c_str());
            continue;
        }
        if (is_link_or_special(za, index)) {
            zr_log(3, "WRN", "[%s] %s: entry %s is not a regular file, skipped\n", kTag, zip_path,
                   name.c_str());
            continue;
        }
        total += st.size;
        if (st.size > max_bytes || total > max_bytes) {
            zr_log(4, "ERR", "[%s] %s expands beyond %llu bytes (entry %s: %llu bytes)\n", kTag,
                   zip_path, static_cast<unsigned long long>(max_bytes), name.c_str(),
                   static_cast<unsigned long long>(st.size));
            return false;
        }
        plan.index = index;
        plan.name = name;
        plan.size = st.size;
        plan.path = dir;
        for (const std::string &part : plan.parts)
            plan.path = path_join(plan.path, part);
        plans.push_back(std::move(plan));
    }
    return true;
}

// Streams one entry into its temporary file; never more than the size it declared.
bool extract_entry(zip_t *za, const char *zip_path, const std::string &dir, const Plan &plan) {
    if (!make_parents(dir, plan.parts)) {
        zr_log(4, "ERR", "[%s] %s: no directory for %s\n", kTag, zip_path, plan.name.c_str());
        return false;
    }
    // Written under a temporary name beside the final one, removed unless complete.
    files::OutputFile out(plan.path);
    if (!out.open()) {
        zr_log(4, "ERR", "[%s] %s open failed: %s\n", kTag, plan.path.c_str(), out.error().c_str());
        return false;
    }
    Entry entry(zip_fopen_index(za, plan.index, 0));
    if (!entry) {
        zr_log(4, "ERR", "[%s] %s: cannot read %s: %s\n", kTag, zip_path, plan.name.c_str(),
               zip_strerror(za));
        return false;
    }
    char buf[4096];
    uint64_t written = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(entry.get(), buf, sizeof buf);
        if (n < 0) {
            zr_log(4, "ERR", "[%s] %s: cannot read %s: %s\n", kTag, zip_path, plan.name.c_str(),
                   zip_file_strerror(entry.get()));
            return false;
        }
        if (n == 0)
            break;
        written += static_cast<uint64_t>(n);
        if (written > plan.size) {
            zr_log(4, "ERR", "[%s] %s: %s holds more than the %llu bytes it declares\n", kTag,
                   zip_path, plan.name.c_str(), static_cast<unsigned long long>(plan.size));
            return false;
        }
        if (!out.write(buf, static_cast<size_t>(n))) {
            zr_log(4, "ERR", "[%s] %s write failed\n", kTag, plan.path.c_str());
            return false;
        }
    }
    if (written != plan.size || !out.commit()) {
        zr_log(4, "ERR", "[%s] %s: %s incomplete (%llu of %llu bytes)\n", kTag, zip_path,
               plan.name.c_str(), static_cast<unsigned long long>(written),
               static_cast<unsigned long long>(plan.size));
        return false;
    }
    return true;
}

#endif  // TARVO_HAVE_LIBZIP

}  // namespace

int zip_extract(const char *zip_path, const char *dir, ExtractEntryFn on_entry, void *arg,
                uint64_t max_bytes) {
    if (zip_path == nullptr || dir == nullptr)
        return -1;
#ifdef TARVO_HAVE_LIBZIP
    int error = 0;
    Archive za(zip_open(zip_path, ZIP_RDONLY | ZIP_CHECKCONS, &error));
    if (!za) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, error);
        zr_log(4, "ERR", "[%s] %s: %s\n", kTag, zip_path, zip_error_strerror(&ze));
        zip_error_fini(&ze);
        return -1;
    }
    const std::string target = to_posix_separators(dir);
    std::vector<Plan> plans;
    if (!plan_entries(za.get(), zip_path, target, max_bytes, plans))
        return -1;
    for (const Plan &plan : plans) {
        if (!extract_entry(za.get(), zip_path, target, plan))
            return -1;
        if (on_entry != nullptr && on_entry(plan.path.c_str(), arg) != 0)
            break;
    }
    return 0;
#else
    (void)on_entry;
    (void)arg;
    (void)max_bytes;
    zr_log(4, "ERR", "[%s] %s: built without zip support\n", kTag, zip_path);
    return -1;
#endif
}

}  // namespace tarvo::calib
