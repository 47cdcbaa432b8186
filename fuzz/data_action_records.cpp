// Fuzz target: everything the host reads from a camera during a data
// transfer. The input drives
//   - the record decoders (information record, acknowledgement in its long
//     and short form, chunk head) over arbitrary bytes and lengths, and
//   - whole writes and reads against a scripted camera whose answers
//     (acknowledgements, information records, payloads, status outcomes)
//     are taken from the input, so that no answer can make the host crash,
//     overrun a buffer, loop for ever or write bytes it never received.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "data/data.h"
#include "platform/platform.h"
#include "tarvo/tarvo_data.h"
#include "tarvo/tarvo_ll.h"
#include "tarvo/tarvo_log.h"

namespace {

struct Script {
    const uint8_t *p = nullptr;
    size_t n = 0;
    uint8_t take() {
        if (!n) return 0;
        --n;
        return *p++;
    }
};
Script g_script;
unsigned g_commands = 0;

bool exe(tarvo_ll_dev_t *, uint8_t dir, uint8_t, uint16_t, void *data, int len, uint32_t) {
    // Bound the work of one input: a camera that keeps answering is cut off.
    if (++g_commands > 4000 || g_script.n == 0) return false;
    uint8_t ctl = g_script.take();
    if (ctl & 0x80) return false;  // the transfer fails
    if (dir == 0 && len > 0) {
        auto *out = static_cast<uint8_t *>(data);
        for (int i = 0; i < len; ++i) out[i] = g_script.take();
    }
    return true;
}

bool check(tarvo_ll_dev_t *, uint8_t, uint8_t) {
    return (g_script.take() & 0x40) == 0;
}
bool reset(tarvo_ll_dev_t *, uint8_t) {
    return true;
}

const tarvo_ll_ops_t k_ops = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, exe,     check,
    nullptr, nullptr, nullptr, reset,   nullptr, nullptr, nullptr, nullptr,
};

void decode_all(const uint8_t *data, size_t size) {
    al_data_info_t info;
    al_data_ack_t ack;
    al_data_chunk_head_t head;
    al_data_announce_t ann;
    al_data_erase_t er;
    for (size_t len = 0; len <= size && len <= 20; ++len) {
        al_data_info_decode(data, len, &info);
        al_data_ack_decode(data, len, &ack);
        al_data_chunk_head_decode(data, len, &head);
        al_data_announce_decode(data, len, &ann);
        al_data_erase_decode(data, len, &er);
    }
    if (size <= 0xFFFF) al_data_calc_crc(data, static_cast<uint16_t>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    tq_log_disable();
    tarvo::platform::set_settle_scale_ms_per_s(0);
    tarvo::data::set_erase_timeout_ms(0);
    // A small image of three chunks.
    std::vector<uint8_t> img(2100);
    for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>(i * 13);
    FILE *f = std::fopen("fuzz_image.bin", "wb");
    if (f) {
        std::fwrite(img.data(), 1, img.size(), f);
        std::fclose(f);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    decode_all(data + 1, size - 1);

    tarvo_ll_dev_t dev{};
    dev.ops = &k_ops;
    g_script = Script{data + 1, size - 1};
    g_commands = 0;
    if (data[0] & 1) {
        tarvo_bin_data_write(&dev, static_cast<uint8_t>(4 + (data[0] >> 4)), 0xFFFF, 0,
                             "fuzz_image.bin");
    } else {
        // The size the camera reports comes from the input too; the read
        // ends when the script (or the command budget) runs out.
        tarvo_bin_data_read(&dev, data[0] >> 1, "fuzz_read.bin");
    }
    return 0;
}
