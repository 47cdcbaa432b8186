// Fuzzes the recording reader: arbitrary bytes are parsed. Checks that a
// parse that succeeds keeps to the limits and that every frame's bytes lie
// inside the file (every byte is read, so AddressSanitizer sees a view
// that strays), and that a failed parse leaves nothing behind.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_check.h"
#include "recording.h"

using fuzz::check;

namespace {

bool inside(std::span<const uint8_t> part, const std::vector<uint8_t> &all) {
    return part.empty() ||
           (part.data() >= all.data() && part.data() + part.size() <= all.data() + all.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo::rec::Recording r;
    std::string err;
    const bool ok = tarvo::rec::parse(std::vector<uint8_t>(data, data + size), r, err);
    if (!ok) {
        check(!err.empty() && r.frames.empty() && r.bytes.empty(), "failure leaves nothing");
        return 0;
    }
    check(r.bytes.size() == size, "the recording keeps the file");
    check(r.frames.size() <= tarvo::rec::k_max_frames, "frame count limit");
    check(inside(r.calibration, r.bytes), "calibration inside the file");
    unsigned sum = 0;
    for (const tarvo::rec::Frame &f : r.frames) {
        check(f.raw.size() == f.info.size && f.info.size <= tarvo::rec::k_max_frame_bytes,
              "frame size");
        check(inside(f.raw, r.bytes), "frame inside the file");
        for (uint8_t b : f.raw) sum += b;
    }
    for (const tarvo::rec::Param &p : r.params) check(p.value.size() <= 18, "parameter length");
    return static_cast<int>(sum & 0);
}
