#include "files/safe_file.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo::files {
namespace {

constexpr int kNameAttempts = 100;

std::string reason(const std::string &what, const std::string &path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string base_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Twelve hex digits nobody can guess in advance.
std::string random_suffix() {
    unsigned char bytes[6] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Without entropy the name is guessable, but O_EXCL still refuses anything planted.
        static unsigned counter = 0;
        const unsigned v = static_cast<unsigned>(getpid()) * 2654435761u + ++counter;
        std::memcpy(bytes, &v, sizeof v);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s += kHex[b >> 4];
        s += kHex[b & 15];
    }
    return s;
}

bool set_blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool written_in_place(mode_t mode) {
    return S_ISFIFO(mode) || S_ISCHR(mode);
}

}  // namespace

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {}

OutputFile::~OutputFile() {
    discard();
}

bool OutputFile::fail(const std::string &what) {
    error_ = what;
    return false;
}

bool OutputFile::open() {
    struct stat st;
    if (stat(target_.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode))
            return open_temporary(st.st_mode & 07777, true);
        if (written_in_place(st.st_mode))
            return open_in_place();
        return fail(target_ + " is not a regular file, FIFO or character device");
    }
    if (errno != ENOENT)
        return fail(reason("cannot write", target_, errno));
    return open_temporary(0666, false);
}

bool OutputFile::open_in_place() {
    // Without O_NONBLOCK a FIFO nobody reads would block the caller for ever.
    const int fd = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENXIO)
            return fail(target_ + " is a FIFO that nobody reads");
        return fail(reason("cannot open", target_, errno));
    }
    struct stat st;
    // The name may have changed hands since it was looked at: only the kinds checked above.
    if (fstat(fd, &st) != 0 || !written_in_place(st.st_mode) || !set_blocking(fd)) {
        ::close(fd);
        return fail(target_ + " changed while it was opened");
    }
    fd_ = fd;
    in_place_ = true;
    return true;
}

bool OutputFile::open_temporary(unsigned mode, bool keep_mode) {
    const std::string prefix = directory_of(target_) + "." + base_of(target_) + ".";
    for (int i = 0; i < kNameAttempts; ++i) {
        std::string name = prefix + random_suffix() + ".part";
        // The mode passes through the umask, as the target's would; an existing target's mode
        // is copied below.
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              static_cast<mode_t>(mode));
        if (fd >= 0) {
            if (keep_mode)
                fchmod(fd, static_cast<mode_t>(mode));
            fd_ = fd;
            temp_ = std::move(name);
            return true;
        }
        // The target's name in the message: the temporary one means nothing to the user.
        if (errno != EEXIST)
            return fail(reason("cannot write", target_, errno));
    }
    return fail("cannot find a free temporary name beside " + target_);
}

std::FILE *OutputFile::stream() {
    if (stream_ == nullptr && fd_ >= 0) {
        stream_ = fdopen(fd_, "wb");
        if (stream_ == nullptr)
            error_ = reason("cannot write", target_, errno);
    }
    return stream_;
}

bool OutputFile::write(const void *data, size_t size) {
    if (fd_ < 0)
        return fail("cannot write " + target_ + ": not open");
    if (stream_ != nullptr) {
        if (std::fwrite(data, 1, size, stream_) == size)
            return true;
        return fail(reason("cannot write", target_, errno));
    }
    const auto *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(reason("cannot write", target_, n < 0 ? errno : ENOSPC));
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool OutputFile::commit() {
    if (fd_ < 0)
        return fail("cannot write " + target_ + ": not open");
    bool ok = true;
    int err = 0;
    if (stream_ != nullptr && std::fflush(stream_) != 0) {
        ok = false;
        err = errno;
    }
    // On the disk before it takes the name, so a power cut cannot leave an empty target.
    if (ok && !in_place_ && fsync(fd_) != 0) {
        ok = false;
        err = errno;
    }
    const int closed = stream_ != nullptr ? std::fclose(stream_) : ::close(fd_);
    stream_ = nullptr;
    fd_ = -1;
    if (ok && closed != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        discard();
        return fail(reason("cannot write", target_, err));
    }
    if (!in_place_ && std::rename(temp_.c_str(), target_.c_str()) != 0) {
        err = errno;
        discard();
        return fail(reason("cannot replace", target_, err));
    }
    temp_.clear();
    return true;
}

void OutputFile::discard() {
    if (stream_ != nullptr)
        std::fclose(stream_);
    else if (fd_ >= 0)
        ::close(fd_);
    stream_ = nullptr;
    fd_ = -1;
    if (!temp_.empty())
        unlink(temp_.c_str());
    temp_.clear();
}

int open_regular_input(const char *path, std::string *why) {
    auto failed = [&](const std::string &what) {
        if (why != nullptr)
            *why = what;
        return -1;
    };
    if (path == nullptr)
        return failed("no file name");
    // O_NONBLOCK: opening a FIFO that nobody writes would otherwise wait for ever.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return failed(reason("cannot open", path, errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return failed(std::string(path) + " is not a regular file");
    }
    if (!set_blocking(fd)) {
        const int err = errno;
        ::close(fd);
        return failed(reason("cannot read", path, err));
    }
    return fd;
}

std::FILE *fopen_regular_input(const char *path, std::string *why) {
    const int fd = open_regular_input(path, why);
    if (fd < 0)
        return nullptr;
    std::FILE *f = fdopen(fd, "rb");
    if (f == nullptr) {
        if (why != nullptr)
            *why = reason("cannot read", path, errno);
        ::close(fd);
    }
    return f;
}

}  // namespace tarvo::files
