// Shared by the frame-file fuzz targets: the input becomes a real file in
// the working directory, read back through a descriptor.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/platform.h"

namespace frame_fuzz {

// Loads frames from `data` as a file with `load` until it fails (at most
// four), into a buffer sized from the input so that any write past it is
// caught.
template <typename Load>
void run(const uint8_t *data, size_t size, Load load) {
    // One file for the whole run, rewritten for every input: creating and
    // truncating files costs more than the loader itself.
    static std::string path = "frame_fuzz_" + std::to_string(::getpid()) + ".bin";
    static const int fd = [] {
        std::atexit([] { tarvo::platform::remove_file(path.c_str()); });
        return tarvo::platform::open_fd(path.c_str(), O_RDWR | O_CREAT | O_TRUNC);
    }();
    if (fd < 0) __builtin_trap();
    if (tarvo::platform::seek_fd(fd, 0, SEEK_SET) != 0 ||
        tarvo::platform::write_fd(fd, data, size) != static_cast<int64_t>(size) ||
        ::ftruncate(fd, static_cast<off_t>(size)) != 0 ||
        tarvo::platform::seek_fd(fd, 0, SEEK_SET) != 0)
        __builtin_trap();
    const int len = 1 + static_cast<int>(size % 61);
    std::vector<float> dst(static_cast<size_t>(len));
    for (int i = 0; i < 4; ++i) {
        int w = 0, h = 0;
        const int n = load(fd, dst.data(), len, &w, &h);
        if (n < 0 || n > len) __builtin_trap();
        if (n == 0) break;
        if (w < 1 || h < 1 || static_cast<int64_t>(w) * h < n) __builtin_trap();
    }
}

}  // namespace frame_fuzz
