#include "platform/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"

namespace tarvo::platform {

int open_fd(const char *path, int flags, int mode) {
    if (!path) return -1;
    int fd;
    do {
        fd = ::open(native_path(path).c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int close_fd(int fd) {
    return ::close(fd) == 0 ? 0 : -1;
}

int64_t seek_fd(int fd, int64_t offset, int whence) {
    return static_cast<int64_t>(::lseek(fd, static_cast<off_t>(offset), whence));
}

int64_t file_size_fd(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

namespace {

// Moves all n bytes through `op` (read or write), carrying on after short
// transfers and interruptions; the bytes moved, or -1 when none could be.
template <class Op, class Ptr>
int64_t transfer_all(int fd, Ptr p, size_t n, Op op) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = op(fd, p + done, n - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return done ? static_cast<int64_t>(done) : -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

}  // namespace

int64_t read_fd(int fd, void *buf, size_t n) {
    return transfer_all(fd, static_cast<char *>(buf), n, ::read);
}

int64_t write_fd(int fd, const void *buf, size_t n) {
    return transfer_all(fd, static_cast<const char *>(buf), n, ::write);
}

}  // namespace tarvo::platform
