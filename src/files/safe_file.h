// Files written and read safely by the library, the tarvo tool and the Python module alike.
//
// OutputFile writes a file so that a reader never sees half of it and nothing else is harmed:
// - a new or regular target is written to an exclusive temporary file with an unpredictable
//   name beside it (O_CREAT | O_EXCL | O_NOFOLLOW, so a planted symlink is never followed) and
//   takes the target's name only when committed; dropped unfinished, the temporary file goes;
// - a target that is a FIFO or a character device (a pipe, /dev/null, /dev/full) is written in
//   place, never replaced by a regular file; a FIFO without a reader is refused at once;
// - any other kind of target (directory, socket, block device) is refused.
// The kind is that of what the target name leads to: a symbolic link to a FIFO or device (say
// /dev/stdout) is written through, a link to a regular file is replaced by the new file.
//
// open_regular_input opens a file for reading without blocking on a FIFO and refuses anything
// but a regular file.
//
// Nothing here logs: failures come back with a reason (error()) for the caller's own message.
// Not thread-safe per object; distinct objects may be used from any threads.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace tarvo::files {

class OutputFile {
  public:
    explicit OutputFile(std::string target);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Creates the temporary file (or opens the FIFO or device). False: error() says why.
    bool open();
    // The descriptor to write to, -1 before open() or after commit().
    int fd() const { return fd_; }
    // A stdio stream over fd() for writers that need one; null if it cannot be made.
    std::FILE *stream();
    // Writes all of `data`; false on a failed write (error() says why).
    bool write(const void *data, size_t size);
    // Flushes and closes; a temporary file then takes the target's name. False: nothing was
    // replaced and the temporary file is gone.
    bool commit();

    // True when the target is a FIFO or device written in place.
    bool in_place() const { return in_place_; }
    const std::string &target() const { return target_; }
    const std::string &error() const { return error_; }

  private:
    bool fail(const std::string &what);
    bool open_in_place();
    bool open_temporary(unsigned mode, bool keep_mode);
    void discard();

    std::string target_;
    std::string temp_;
    std::string error_;
    int fd_ = -1;
    std::FILE *stream_ = nullptr;
    bool in_place_ = false;
};

// Opens `path` for reading when it is a regular file: a FIFO or device is refused without
// blocking. Returns the descriptor in blocking mode, or -1 with `why` (if given) set.
int open_regular_input(const char *path, std::string *why = nullptr);
// The same as a stdio stream ("rb"); null on failure.
std::FILE *fopen_regular_input(const char *path, std::string *why = nullptr);

}  // namespace tarvo::files
