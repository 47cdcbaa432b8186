// File-descriptor I/O for the formats that applications hand the library as
// open descriptors (frame files). Paths may use '\' as a separator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvo::platform {

// open(2) with separators translated; `flags` as for open (O_RDONLY, O_RDWR,
// O_CREAT, ...), `mode` for new files. Returns the descriptor or -1.
int open_fd(const char *path, int flags, int mode = 0644);

// close(2); 0 on success, -1 on failure.
int close_fd(int fd);

// lseek(2): the new offset, or -1 when the descriptor cannot seek.
int64_t seek_fd(int fd, int64_t offset, int whence);

// Size of the file behind the descriptor, or -1 when it is not a regular
// file (pipes, devices) or cannot be queried.
int64_t file_size_fd(int fd);

// Reads up to n bytes, going on after short reads and interruptions until
// n bytes are in or the file ends. Returns the bytes read, or -1 when an
// error came before the first byte.
int64_t read_fd(int fd, void *buf, size_t n);

// Writes n bytes, going on after short writes and interruptions. Returns
// the bytes written (less than n after an error), or -1 when an error came
// before the first byte.
int64_t write_fd(int fd, const void *buf, size_t n);

}  // namespace tarvo::platform
