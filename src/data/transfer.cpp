// Whole transfers between a file and the camera's flash, built from the
// exchanges of protocol.cpp: the write with its version check, erase,
// chunks and acknowledgements and the settle wait, and the read in payload
// exchanges of up to 450 bytes.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>

#include "data/data.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tarvo/tarvo_data.h"
#include "tarvo/tarvo_ll.h"

namespace tarvo::data {

namespace {
std::atomic<uint32_t> g_erase_timeout_ms{120000};
// Progress hook of the transfers this thread runs.
thread_local tarvo_data_progress_cb_t t_progress = nullptr;
thread_local void *t_progress_user = nullptr;
}  // namespace

void report_progress(uint32_t done, uint32_t total) {
    if (t_progress) t_progress(t_progress_user, done, total);
}

void set_erase_timeout_ms(uint32_t ms) {
    g_erase_timeout_ms.store(ms, std::memory_order_relaxed);
}
uint32_t erase_timeout_ms() {
    return g_erase_timeout_ms.load(std::memory_order_relaxed);
}

}  // namespace tarvo::data

namespace {

constexpr char k_write[] = "tarvo_bin_data_write";
constexpr char k_read[] = "tarvo_bin_data_read";
constexpr uint8_t k_info_type_of_write = 0;  // a write always asks about type 0
constexpr const char *k_default_read_path = "calib.bin";

// The whole file in memory.
struct Image {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size = 0;
};

// Loads `name` completely. 1 with the image, or -1 (the messages are the
// write's own).
int load_image(const char *name, Image &img) {
    FILE *f = name ? tarvo::platform::open_file(name, "rb") : nullptr;
    if (!f) {
        TQ_INF("[%s] File open failed\n", k_write);
        return -1;
    }
    long length = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) length = std::ftell(f);
    std::rewind(f);
    TQ_INF("[%s] File size:%d\n", k_write, static_cast<int>(length));
    // The announce and erase records carry the size as a u32 and a size of
    // 0xFFFFFFFF means "nothing stored": anything that does not fit below it
    // cannot be written.
    if (length <= 0 || static_cast<unsigned long>(length) >= AL_DATA_SIZE_NONE) {
        std::fclose(f);
        TQ_ERR("[%s] data upgrade failed!\n", k_write);
        return -1;
    }
    size_t want = static_cast<size_t>(length);
    img.bytes.reset(new (std::nothrow) uint8_t[want]);
    if (!img.bytes) {
        std::fclose(f);
        return -1;
    }
    size_t got = std::fread(img.bytes.get(), 1, want, f);
    TQ_INF("[%s] File read ok,%d\n", k_write, static_cast<int>(got));
    if (got < want) {
        TQ_INF("[%s] Firmware image file loading failed.\n", k_write);
        std::fclose(f);
        img.bytes.reset();
        return -1;
    }
    TQ_INF("[%s] Firmware image file loaded.\n", k_write);
    std::fclose(f);
    img.size = static_cast<uint32_t>(want);
    return 1;
}

// The end of a write that reached the camera: types 0 and 1 reset the board
// and wait 20 s, types 2 and 3 wait 7 s, the others return at once.
int settle(tarvo_ll_dev_t *dev, uint8_t type, Image &img, int result) {
    img.bytes.reset();
    if (type <= 1) {
        tarvo_ll_dev_reset(dev, 0);
        TQ_WRN("[%s]  * Wait board to reset...\n", k_write);
    }
    if (type <= 3) {
        TQ_WRN("[%s] ----------------------------------------------------------\n", k_write);
        TQ_WRN("[%s] !!! DO NOT RESET or POWER OFF the board until return !!!!\n", k_write);
        TQ_WRN("[%s] ----------------------------------------------------------\n", k_write);
        tarvo::platform::settle_sleep_s(type <= 1 ? 20 : 7);
    }
    return result;
}

// The end of a write whose exchange failed: no reset, no wait.
int fail(Image &img) {
    img.bytes.reset();
    TQ_ERR("[%s] data upgrade failed!\n", k_write);
    return -1;
}

// Reads one acknowledgement (action 4) into `ack`. True when both phases
// went through. A failed write phase is a failed exchange like a failed
// read phase: the camera never answered, so its zero-filled record must not
// be read as an answer (and must not lead to a board reset after a flash
// that may be half written).
bool read_ack(tarvo_ll_dev_t *dev, al_data_ack_t &ack) {
    uint8_t wire[AL_DATA_ACK_SIZE] = {};
    int r = al_data_read_action_info(dev, AL_DATA_ACT_ACK, wire);
    al_data_ack_decode(wire, sizeof wire, &ack);
    return r == 1;
}

// The information exchange about `type`. 1 with the stored data's record,
// or 0 when the exchange failed.
int get_info(tarvo_ll_dev_t *dev, uint8_t type, al_data_info_t &info, const char *log_name) {
    TQ_DBG("[%s] Get info\n", log_name);
    al_data_info_t req{};
    req.type = type;
    uint8_t wire[AL_DATA_INFO_SIZE];
    al_data_info_encode(&req, wire);
    int r = al_get_data_info(dev, AL_DATA_ACT_INFO, wire, AL_DATA_INFO_SIZE);
    if (r != 1) return 0;
    al_data_info_decode(wire, sizeof wire, &info);
    TQ_INF("[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", log_name,
           static_cast<unsigned short>(info.version), static_cast<unsigned short>(info.type),
           info.addr, static_cast<int>(info.size));
    return 1;
}

// Erase, then poll acknowledgements while the camera reports busy.
// 1 when the camera became ready; otherwise the write's result (from
// settle() or fail()).
int erase_and_wait(tarvo_ll_dev_t *dev, uint8_t type, Image &img, int &result) {
    TQ_INF("[%s] Wait flash erase.....\n", k_write);
    al_data_erase_t er{type, img.size, AL_DATA_CHUNK_MAX};
    uint8_t wire[AL_DATA_ERASE_SIZE];
    al_data_erase_encode(&er, wire);
    if (al_data_send_action_info(dev, AL_DATA_ACT_ERASE, wire, nullptr) != 1) {
        result = fail(img);
        return 0;
    }
    // A camera that never leaves "busy" would hold the caller for ever; the
    // wait is bounded and then counts as a failed exchange.
    int64_t deadline = tarvo::platform::mono_ms() + tarvo::data::erase_timeout_ms();
    al_data_ack_t ack{};
    do {
        if (!read_ack(dev, ack)) {
            TQ_ERR("[%s] DATA ACK failed\n", k_write);
            result = fail(img);
            return 0;
        }
        if (ack.status == AL_DATA_ACK_BUSY && tarvo::platform::mono_ms() > deadline) {
            TQ_ERR("[%s] flash erase timeout\n", k_write);
            result = fail(img);
            return 0;
        }
    } while (ack.status == AL_DATA_ACK_BUSY);
    TQ_INF("[%s] Download.....\n", k_write);
    if (ack.next != 0 || ack.status != AL_DATA_ACK_READY) {
        result = settle(dev, type, img, -1);
        return 0;
    }
    return 1;
}

// Sends every chunk; the camera's acknowledgement drives the index, and no
// chunk is ever sent twice. The write's result.
int send_chunks(tarvo_ll_dev_t *dev, uint8_t type, Image &img) {
    uint32_t count = img.size / AL_DATA_CHUNK_MAX + (img.size % AL_DATA_CHUNK_MAX ? 1 : 0);
    uint32_t idx = 0;
    for (;;) {
        uint32_t off = idx * AL_DATA_CHUNK_MAX;
        uint32_t n = std::min<uint32_t>(AL_DATA_CHUNK_MAX, img.size - off);
        const uint8_t *chunk = img.bytes.get() + off;
        al_data_chunk_head_t head{al_data_calc_crc(chunk, static_cast<uint16_t>(n)), n};
        uint8_t wire[AL_DATA_CHUNK_HEAD_SIZE];
        al_data_chunk_head_encode(&head, wire);
        if (al_data_send_action_info(dev, AL_DATA_ACT_DATA, wire, chunk) != 1) {
            TQ_INF("[%s] Data transfer failed D.\n", k_write);
            return fail(img);
        }
        al_data_ack_t ack{};
        if (!read_ack(dev, ack)) {
            TQ_INF("[%s] Data transfer failed C.\n", k_write);
            return fail(img);
        }
        if (ack.next == idx) {
            TQ_INF("[%s] Data transfer failed A.indx%d, %d\n", k_write, static_cast<int>(idx),
                   static_cast<int>(idx));
            return settle(dev, type, img, -1);
        }
        if (ack.next != idx + 1) {
            TQ_INF("[%s] Data transfer failed B.\n", k_write);
            return settle(dev, type, img, -1);
        }
        tarvo::data::report_progress(std::min<uint32_t>(ack.next * AL_DATA_CHUNK_MAX, img.size),
                                     img.size);
        if (ack.next == count) {
            TQ_INF("[%s] Data transfer finished.\n", k_write);
            return settle(dev, type, img, 1);
        }
        idx = ack.next;
    }
}

}  // namespace

extern "C" {

TARVO_API int tarvo_bin_data_write(tarvo_ll_dev_t *dev, uint8_t type, uint16_t version,
                                   uint32_t /*reserved*/, const char *name) {
    TQ_INF("[%s] name:%s, type:%hu, version:%hu\n", k_write, name ? name : "(null)",
           static_cast<unsigned short>(type), static_cast<unsigned short>(version));
    Image img;
    if (load_image(name, img) != 1) return -1;

    // The version check asks about the stored data of type 0 whatever is
    // being written. Without an answer it cannot be made: that ends the
    // write like any other failed exchange.
    al_data_info_t info{};
    if (!get_info(dev, k_info_type_of_write, info, k_write)) return fail(img);
    if (info.version >= version) {
        TQ_ERR("[%s] Wrong version(Target:%d,Now:%d)\n", k_write, static_cast<int>(info.version),
               static_cast<int>(version));
        return -1;
    }

    TQ_INF("[%s] send action info\n", k_write);
    al_data_announce_t ann{type, version, img.size};
    uint8_t wire[AL_DATA_ANNOUNCE_SIZE];
    al_data_announce_encode(&ann, wire);
    if (al_data_send_action_info(dev, AL_DATA_ACT_ANNOUNCE, wire, nullptr) != 1) return fail(img);

    al_data_ack_t ack{};
    if (!read_ack(dev, ack)) return fail(img);
    TQ_INF("[%s] read ack: next=%d, status=%d\n", k_write, static_cast<int>(ack.next),
           static_cast<int>(ack.status));
    if (ack.next != 0 || ack.status != AL_DATA_ACK_ANNOUNCED) {
        // The camera refused the announcement: nothing was written, and the
        // caller must not be told otherwise.
        TQ_ERR("[%s] Wrong version(Target:%d,Now:%d)\n", k_write, static_cast<int>(ack.next),
               static_cast<int>(version));
        return settle(dev, type, img, -1);
    }
    TQ_INF("[%s] INFO ack ok\n", k_write);

    int result = -1;
    if (!erase_and_wait(dev, type, img, result)) return result;
    return send_chunks(dev, type, img);
}

TARVO_API int tarvo_bin_data_read(tarvo_ll_dev_t *dev, uint8_t type, const char *path) {
    // Without an answer to the information exchange nothing is known about
    // the stored data; an empty file would pass for a successful read.
    al_data_info_t info{};
    if (!get_info(dev, type, info, k_read)) return -1;
    if (info.size == AL_DATA_SIZE_NONE) {
        TQ_ERR("[%s] No valid data to read, please check\n", k_read);
        return -1;
    }
    if (info.size > AL_DATA_READ_MAX) {
        TQ_ERR("[%s] stored size of %u bytes refused\n", k_read, static_cast<unsigned>(info.size));
        return -1;
    }
    const char *file_name = path ? path : k_default_read_path;
    FILE *f = tarvo::platform::open_file(file_name, "wb+");
    if (!f) {
        TQ_ERR("[%s] File open failed\n", k_read);
        return -1;
    }
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[AL_DATA_PAYLOAD_MAX]);
    if (!buf) {
        std::fclose(f);
        return -1;
    }
    // Only bytes that came from the camera reach the file: a failed
    // exchange ends the read with what was received before it.
    uint32_t remaining = info.size;
    int result = 1;
    while (remaining > 0) {
        uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(remaining, AL_DATA_PAYLOAD_MAX));
        if (al_get_data_payload(dev, buf.get(), n) != 1) {
            result = -1;
            break;
        }
        if (std::fwrite(buf.get(), 1, n, f) != n) {
            TQ_ERR("[%s] File write failed\n", k_read);
            result = -1;
            break;
        }
        remaining -= n;
        tarvo::data::report_progress(info.size - remaining, info.size);
    }
    if (std::fclose(f) != 0 && result == 1) {
        TQ_ERR("[%s] File write failed\n", k_read);
        result = -1;
    }
    return result;
}

TARVO_API void tarvo_data_set_progress(tarvo_data_progress_cb_t cb, void *user) {
    tarvo::data::t_progress = cb;
    tarvo::data::t_progress_user = user;
}

TARVO_API int tarvo_ll_firmware_upgrade(tarvo_ll_dev_t *dev, uint8_t type, uint16_t version,
                                        const char *name) {
    return tarvo_bin_data_write(dev, type, version, 0, name);
}

}  // extern "C"
