#include <tarvo/log.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/syscall.h>
#include <unistd.h>

#include "api/wall_clock.h"

namespace {

constexpr unsigned kConsole = 0;
constexpr unsigned kFile = 1;
constexpr unsigned kSilent = 5;

// Library-wide logger state. Deliberately unlocked: thresholds and the file are changed only
// while no capture runs. Each line goes out under its sink's stream lock (write_line).
unsigned g_threshold[3] = {3, 1, kSilent};
FILE *g_file = nullptr;
std::string g_last_path;
bool g_have_last_path = false;

unsigned current_thread_id() {
    return static_cast<unsigned>(syscall(SYS_gettid));
}

// "%04u/%02u/%02u %02u:%02u:%02u.%03u[%u]" from one clock reading: the local calendar fields of
// its epoch seconds, the same seconds the wall clock reports.
void format_stamp(char (&stamp)[48]) {
    const tarvo::LocalStamp now = tarvo::read_local_time();
    const std::tm &local = now.fields;
    std::snprintf(stamp, sizeof stamp, "%04u/%02u/%02u %02u:%02u:%02u.%03u[%u]",
                  static_cast<unsigned>(local.tm_year + 1900),
                  static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                  static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                  static_cast<unsigned>(local.tm_sec), now.millisecond, current_thread_id());
}

// A threshold of 5 or more silences its sink whatever the level of the line.
bool sink_wants(unsigned threshold, unsigned level) {
    return threshold < kSilent && level >= threshold;
}
bool console_wants(unsigned level) {
    return sink_wants(g_threshold[kConsole], level);
}
bool file_wants(unsigned level) {
    return g_file != nullptr && sink_wants(g_threshold[kFile], level);
}

// Prefix and message under the stream's lock, so that a line of another thread (the USB event
// thread logs too) never lands between them; `flush` before the lock is released.
void write_line(FILE *sink, const char *prefix, const char *fmt, va_list args, bool flush) {
    va_list copy;
    va_copy(copy, args);
    flockfile(sink);
    if (prefix)
        std::fputs(prefix, sink);
    std::vfprintf(sink, fmt, copy);
    if (flush)
        std::fflush(sink);
    funlockfile(sink);
    va_end(copy);
}

// Writes the optional prefix and the message to every sink that wants `level`.
void emit(unsigned level, const char *prefix, const char *fmt, va_list args) {
    if (console_wants(level))
        write_line(stdout, prefix, fmt, args, false);
    if (file_wants(level))
        write_line(g_file, prefix, fmt, args, true);  // the log must survive a crash
}

int open_log_file(const char *path) {
    if (path == nullptr) {
        if (g_file != nullptr)
            return 1;
        path = "zr.log";
    } else if (g_file != nullptr && g_have_last_path && g_last_path == path) {
        return 1;
    }
    if (g_file != nullptr) {
        std::fclose(g_file);
        g_file = nullptr;
    }
    g_last_path = path;
    g_have_last_path = true;
    g_file = std::fopen(path, "ab");
    if (g_file == nullptr) {
        std::fprintf(stderr, "cannot open file %s for write\n", path);
        return 0;
    }
    return 1;
}

}  // namespace

extern "C" {

TARVO_API int zr_log_enable(unsigned index, unsigned level, const char *path) {
    if (index > 2)
        return 0;
    g_threshold[index] = level;
    if (index != kFile)
        return 1;
    return open_log_file(path);
}

TARVO_API int zr_log_disable(void) {
    for (unsigned &threshold : g_threshold)
        threshold = kSilent;
    int result = 0;
    if (g_file != nullptr) {
        result = std::fclose(g_file);
        g_file = nullptr;
    }
    g_last_path.clear();
    g_have_last_path = false;
    return result;
}

TARVO_API int zr_log(unsigned level, const char *tag, const char *fmt, ...) {
    // Per-transfer tracing is filtered out by default: skip the clock reading then.
    if (!console_wants(level) && !file_wants(level))
        return 0;
    char stamp[48];
    format_stamp(stamp);
    char prefix[80];
    std::snprintf(prefix, sizeof prefix, "%s[%s] ", stamp, tag ? tag : "");
    va_list args;
    va_start(args, fmt);
    emit(level, prefix, fmt, args);
    va_end(args);
    return 0;
}

TARVO_API int zr_log_raw(unsigned level, const char *fmt, ...) {
    if (!console_wants(level) && !file_wants(level))
        return 0;
    va_list args;
    va_start(args, fmt);
    emit(level, nullptr, fmt, args);
    va_end(args);
    return 0;
}

}  // extern "C"
