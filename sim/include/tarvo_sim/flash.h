// The simulated camera's flash and its data-action protocol (request 0xCC).
//
// Per data type the flash holds one stored image (version, type, address,
// bytes, or nothing: the information record then reports size 0xFFFFFFFF).
// A write runs announce -> erase (busy for a configurable number of
// acknowledgements) -> chunks of at most 1018 bytes, each acknowledged with
// the index of the chunk expected next; a chunk whose checksum does not
// match is refused and the index stays. The new image replaces the stored
// one when its last chunk arrives. A read is an information exchange about
// one type followed by payload requests that return the stored bytes in
// order.
//
// The camera model hands every 0xCC control transfer to Flash::handle() and
// turns the reply into the transfer's outcome and the status record. The
// model decodes and encodes the wire on its own (it shares no code with the
// library), so a misread field on either side shows up in the tests.
//
// Threads: every method takes the flash's own lock; handle() runs on the
// emulation's worker thread, the rest on any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarvo::sim {

// One stored image.
struct FlashImage {
    uint8_t type = 0;
    uint16_t version = 0;
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

// Faults of the next transfers. Each chunk and payload fault fires once.
struct FlashFaults {
    // The acknowledgement after an announcement refuses it with this status
    // (0: accept). 2 is what the camera answers for a version it refuses.
    uint8_t refuse_announce_status = 0;
    // After the erase the camera stays busy for ever.
    bool stall_erase = false;
    // The chunk with this index is refused although its checksum is right
    // (the acknowledgement keeps next at this index).
    std::optional<uint32_t> reject_chunk;
    // After accepting the chunk with this index the acknowledgement skips one
    // index (next = index + 2).
    std::optional<uint32_t> skip_after_chunk;
    // The camera leaves the bus when the chunk with this index arrives.
    std::optional<uint32_t> drop_at_chunk;
    // The camera leaves the bus when this payload request (0 = the first
    // after the information exchange) arrives.
    std::optional<uint32_t> drop_at_payload;
    // A phase of an exchange that fails with an error status: the
    // (`skip` + 1)-th out (or in) phase of `action` from now on.
    struct PhaseFault {
        uint16_t action = 0;
        bool in = false;
        uint32_t skip = 0;
    };
    std::optional<PhaseFault> fail_phase;
};

// What the host did.
struct FlashStats {
    uint32_t info_exchanges = 0;  // information requests (out phases)
    uint32_t announces = 0;
    uint32_t erases = 0;
    uint32_t ack_reads = 0;  // acknowledgement in phases answered
    uint32_t busy_acks = 0;  // of them answered "busy erasing"
    uint32_t chunks_accepted = 0;
    uint32_t chunks_refused = 0;
    uint32_t payload_reads = 0;         // payload in phases answered
    uint32_t protocol_errors = 0;       // requests answered with an error status
    std::vector<uint32_t> chunk_sends;  // per chunk index: how often it arrived
};

// Outcome of one 0xCC control transfer.
struct FlashReply {
    enum class Kind {
        ok,      // status ok; `data` is the in-phase answer
        error,   // status 0xFF with `text`; an in phase answers zeros
        vanish,  // the camera leaves the bus without answering
    };
    Kind kind = Kind::ok;
    std::string text;
    std::vector<uint8_t> data;
};

class Flash {
  public:
    Flash();

    // One control transfer of request 0xCC: `in` for camera to host (answer
    // `in_len` bytes), else `out` holds the data stage.
    FlashReply handle(bool in, uint16_t action, std::span<const uint8_t> out, uint16_t in_len);

    // --- Configuration (any thread).
    void store(const FlashImage &img);  // replaces the image of img.type
    void erase_image(uint8_t type);     // nothing stored for the type
    std::optional<FlashImage> image(uint8_t type) const;
    void set_erase_busy_acks(uint32_t n);  // busy answers after an erase (default 3)
    void set_faults(const FlashFaults &f);
    void clear_faults();

    // Back to the state of a new camera: nothing stored, no write or read in
    // progress, no faults, counters 0, 3 busy acknowledgements per erase.
    void reset();

    // --- Observation.
    FlashStats stats() const;
    void clear_stats();

    // Flash address the camera gives the images of a type.
    static uint32_t address_of(uint8_t type) { return 0x08000000u + 0x00100000u * type; }

    // The model's own CRC-16/XMODEM (table driven).
    static uint16_t crc16(std::span<const uint8_t> bytes);

  private:
    enum class Phase { idle, refused, announced, erasing, receiving, done };

    FlashReply out_phase(uint16_t action, std::span<const uint8_t> out);
    FlashReply in_phase(uint16_t action, uint16_t in_len);
    FlashReply chunk(std::span<const uint8_t> out);
    FlashReply error(std::string text);
    std::vector<uint8_t> ack_bytes(size_t len) const;

    mutable std::mutex lock_;
    std::vector<std::optional<FlashImage>> images_;  // by type
    uint32_t erase_busy_acks_ = 3;
    FlashFaults faults_;
    FlashStats stats_;

    // The write in progress.
    Phase phase_ = Phase::idle;
    uint8_t w_type_ = 0;
    uint16_t w_version_ = 0;
    uint32_t w_size_ = 0;
    std::vector<uint8_t> w_data_;
    uint32_t next_ = 0;
    uint8_t status_ = 0;
    uint32_t busy_left_ = 0;

    // Two-phase actions: the out phase that the next in phase answers.
    int pending_action_ = -1;
    uint8_t info_type_ = 0;
    uint32_t payload_len_ = 0;

    // The read in progress (armed by an information exchange).
    bool read_armed_ = false;
    uint8_t read_type_ = 0;
    uint32_t read_pos_ = 0;
    uint32_t payload_index_ = 0;
};

}  // namespace tarvo::sim
