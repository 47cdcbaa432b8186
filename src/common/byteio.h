// Bounds-checked little-endian reader and writer. Every wire format of the
// library (packet headers, commands, data records, files) is decoded and
// encoded through these. A reader or writer that runs past its end sets a
// sticky overflow flag, returns zeros and writes nothing; callers check ok()
// once when they are done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvo {

inline uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

class ByteReader {
  public:
    ByteReader(const void *data, size_t size)
        : p_(static_cast<const uint8_t *>(data)), size_(data ? size : 0) {}

    uint8_t u8() { return take(1) ? p_[pos_ - 1] : 0; }
    uint16_t u16() { return take(2) ? le16(p_ + pos_ - 2) : 0; }
    uint32_t u32() { return take(4) ? le32(p_ + pos_ - 4) : 0; }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    // Copies n bytes out (zeros when they are not there).
    void bytes(void *out, size_t n) {
        if (take(n))
            std::memcpy(out, p_ + pos_ - n, n);
        else
            std::memset(out, 0, n);
    }
    void skip(size_t n) { take(n); }
    void seek(size_t pos) {
        if (pos > size_)
            overflow_ = true;
        else
            pos_ = pos;
    }

    size_t pos() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    bool ok() const { return !overflow_; }

  private:
    bool take(size_t n) {
        if (overflow_ || n > size_ - pos_) {
            overflow_ = true;
            return false;
        }
        pos_ += n;
        return true;
    }
    const uint8_t *p_;
    size_t size_;
    size_t pos_ = 0;
    bool overflow_ = false;
};

class ByteWriter {
  public:
    ByteWriter(void *data, size_t size)
        : p_(static_cast<uint8_t *>(data)), size_(data ? size : 0) {}

    void u8(uint8_t v) {
        if (take(1)) p_[pos_ - 1] = v;
    }
    void u16(uint16_t v) {
        if (take(2)) put_le16(p_ + pos_ - 2, v);
    }
    void u32(uint32_t v) {
        if (take(4)) put_le32(p_ + pos_ - 4, v);
    }
    void i16(int16_t v) { u16(static_cast<uint16_t>(v)); }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void bytes(const void *in, size_t n) {
        if (take(n) && n) std::memcpy(p_ + pos_ - n, in, n);
    }
    void zeros(size_t n) {
        if (take(n) && n) std::memset(p_ + pos_ - n, 0, n);
    }

    size_t pos() const { return pos_; }
    bool ok() const { return !overflow_; }

  private:
    bool take(size_t n) {
        if (overflow_ || n > size_ - pos_) {
            overflow_ = true;
            return false;
        }
        pos_ += n;
        return true;
    }
    uint8_t *p_;
    size_t size_;
    size_t pos_ = 0;
    bool overflow_ = false;
};

}  // namespace tarvo
