// The exchanges of the data action protocol: one command on request 0xCC
// with the action code as its value, always followed by the status check of
// that very command. Two-phase actions send a record and then read the
// answer with the same action code. Nothing here retries; the sequences in
// transfer.cpp decide what a failure means.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/byteio.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tarvo/tarvo_data.h"
#include "tarvo/tarvo_ll.h"

namespace {

constexpr uint32_t k_timeout_info_ms = 1000;
constexpr uint32_t k_timeout_announce_ms = 10000;
constexpr uint32_t k_timeout_ack_ms = 5000;
constexpr uint32_t k_timeout_data_ms = 1000;
constexpr uint32_t k_timeout_erase_ms = 10000;
constexpr uint32_t k_timeout_payload_ms = 1000;

constexpr int k_host_to_camera = 1;
constexpr int k_camera_to_host = 0;

// One phase of an exchange: the command and the status check of it.
bool phase(tarvo_ll_dev_t *dev, int dir, uint8_t action, void *data, int len, uint32_t timeout_ms) {
    if (!tarvo_ll_exe_cmd(dev, dir, AL_DATA_REQUEST, action, data, len, timeout_ms)) return false;
    return tarvo_ll_check_last_cmd(dev, AL_DATA_REQUEST, action);
}

}  // namespace

extern "C" {

TARVO_API int al_data_send_action_info(tarvo_ll_dev_t *dev, uint8_t action, const void *rec,
                                       const uint8_t *data) {
    if (!dev || !rec) return -1;
    const auto *bytes = static_cast<const uint8_t *>(rec);
    // Room for the largest message: a chunk head and a full chunk.
    uint8_t msg[AL_DATA_CHUNK_HEAD_SIZE + AL_DATA_CHUNK_MAX];
    int len = 0;
    uint32_t timeout_ms = 0;
    switch (action) {
        case AL_DATA_ACT_ANNOUNCE: {
            al_data_announce_t ann;
            al_data_announce_decode(bytes, AL_DATA_ANNOUNCE_SIZE, &ann);
            TQ_INF("[%s] type = %hu, version = %hu, size = %d\n", "al_data_send_action_info",
                   static_cast<unsigned short>(ann.type), static_cast<unsigned short>(ann.version),
                   static_cast<int>(ann.size));
            len = AL_DATA_ANNOUNCE_SIZE;
            timeout_ms = k_timeout_announce_ms;
            std::memcpy(msg, bytes, AL_DATA_ANNOUNCE_SIZE);
            break;
        }
        case AL_DATA_ACT_ACK:
        case AL_DATA_ACT_ERASE:
            len = AL_DATA_ACK_SIZE;  // both records are 13 bytes
            timeout_ms = action == AL_DATA_ACT_ACK ? k_timeout_ack_ms : k_timeout_erase_ms;
            std::memcpy(msg, bytes, AL_DATA_ACK_SIZE);
            break;
        case AL_DATA_ACT_DATA: {
            al_data_chunk_head_t head;
            al_data_chunk_head_decode(bytes, AL_DATA_CHUNK_HEAD_SIZE, &head);
            // An empty chunk means nothing; one above the chunk size would
            // overrun the camera's chunk buffer (and ours).
            if (head.len == 0 || head.len > AL_DATA_CHUNK_MAX || !data) return -1;
            std::memcpy(msg, bytes, AL_DATA_CHUNK_HEAD_SIZE);
            std::memcpy(msg + AL_DATA_CHUNK_HEAD_SIZE, data, head.len);
            len = AL_DATA_CHUNK_HEAD_SIZE + static_cast<int>(head.len);
            timeout_ms = k_timeout_data_ms;
            break;
        }
        default:
            return -1;
    }
    return phase(dev, k_host_to_camera, action, msg, len, timeout_ms) ? 1 : -1;
}

TARVO_API int al_data_read_action_info(tarvo_ll_dev_t *dev, uint8_t action, void *out) {
    int size = 0;
    if (action == AL_DATA_ACT_ACK)
        size = AL_DATA_ACK_SIZE;
    else if (action == AL_DATA_ACT_ACK_SHORT)
        size = AL_DATA_ACK_SHORT_SIZE;
    else
        return 1;
    if (!out) return -1;

    uint8_t rec[AL_DATA_ACK_SIZE] = {};
    if (!phase(dev, k_host_to_camera, action, rec, size, k_timeout_ack_ms)) {
        TQ_ERR("[%s] Write phase failed\n", "al_data_read_action_info");
        return 0;
    }
    if (!phase(dev, k_camera_to_host, action, rec, size, k_timeout_ack_ms)) {
        TQ_ERR("[%s] Read phase failed\n", "al_data_read_action_info");
        return -1;
    }
    std::memcpy(out, rec, static_cast<size_t>(size));
    return 1;
}

TARVO_API int al_get_data_info(tarvo_ll_dev_t *dev, uint8_t action, void *rec, uint8_t size) {
    static const char k_name[] = "al_get_data_info";
    uint8_t buf[256] = {};
    if (rec && size) std::memcpy(buf, rec, size);
    if (!rec || !phase(dev, k_host_to_camera, action, buf, size, k_timeout_info_ms)) {
        TQ_ERR("[%s] write phase failed\n", k_name);
        return 0;
    }
    if (!phase(dev, k_camera_to_host, action, buf, size, k_timeout_info_ms)) {
        TQ_ERR("[%s] read phase failed\n", k_name);
        return 0;
    }
    std::memcpy(rec, buf, size);
    return 1;
}

TARVO_API int al_get_data_payload(tarvo_ll_dev_t *dev, void *buf, uint16_t len) {
    static const char k_name[] = "al_get_data_payload";
    uint8_t req[AL_DATA_PAYLOAD_REQ_SIZE];
    tarvo::ByteWriter w(req, sizeof req);
    w.u32(0);
    w.u32(len);
    w.u32(0);
    if (buf) std::memcpy(buf, req, sizeof req);
    if (!buf || !phase(dev, k_host_to_camera, AL_DATA_ACT_PAYLOAD, buf, AL_DATA_PAYLOAD_REQ_SIZE,
                       k_timeout_payload_ms)) {
        TQ_ERR("[%s] write phase failed\n", k_name);
        return 0;
    }
    if (!phase(dev, k_camera_to_host, AL_DATA_ACT_PAYLOAD, buf, len, k_timeout_payload_ms)) {
        TQ_ERR("[%s] read phase failed\n", k_name);
        return 0;
    }
    return 1;
}

TARVO_API int al_data_build_file_buffer(const char *path, int32_t *size) {
    static const char k_name[] = "al_data_build_file_buffer";
    if (!path || !size) return -1;
    TQ_INF("[%s] Loading data image file:%s\n", k_name, path);
    FILE *f = tarvo::platform::open_file(path, "rb");
    if (!f) return -1;

    long length = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) length = std::ftell(f);
    std::rewind(f);
    // The size travels as a signed 32-bit count: a longer file is refused
    // like one that cannot be read.
    if (length < 0 || length > INT32_MAX) {
        std::fclose(f);
        *size = 0;
        TQ_INF("[%s] Data image file loading failed.\n", k_name);
        return -1;
    }
    TQ_INF("[%s] File size:%d\n", k_name, static_cast<int>(length));

    size_t want = static_cast<size_t>(length);
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[want ? want : 1]);
    size_t got = buf ? std::fread(buf.get(), 1, want, f) : 0;
    std::fclose(f);
    unsigned first = got ? buf[0] : 0;
    TQ_INF("[%s] File read ok,%d,%x\n", k_name, static_cast<int>(got), first);

    // An empty file counts as loaded only when the caller already had a
    // size in hand; either way the size it leaves is the file's, 0.
    bool complete = buf && got == want && (want != 0 || *size != 0);
    if (complete) {
        *size = static_cast<int32_t>(want);
        TQ_INF("[%s] Data image file loaded.\n", k_name);
        return 1;
    }
    *size = 0;
    TQ_INF("[%s] Data image file loading failed.\n", k_name);
    return -1;
}

}  // extern "C"
