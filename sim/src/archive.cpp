// ZIP archives in memory through libzip's buffer source.
#include "archive.h"

#include <zip.h>

#include <memory>
#include <stdexcept>

#include "wire.h"

namespace tarvo::sim {

namespace {

struct SourceFree {
    void operator()(zip_source_t *s) const { zip_source_free(s); }
};

}  // namespace

std::vector<uint8_t> zip_archive(const std::vector<ZipEntry> &entries) {
    zip_error_t err;
    zip_error_init(&err);
    std::unique_ptr<zip_source_t, SourceFree> src(zip_source_buffer_create(nullptr, 0, 0, &err));
    if (!src) throw std::runtime_error("zip: no buffer source");
    zip_source_keep(src.get());  // the archive's close drops one reference
    zip_t *z = zip_open_from_source(src.get(), ZIP_TRUNCATE, &err);
    if (!z) {
        zip_source_free(src.get());  // the reference zip_open_from_source did not take
        throw std::runtime_error("zip: cannot open the buffer");
    }
    for (const auto &[name, bytes] : entries) {
        zip_source_t *entry = zip_source_buffer(z, bytes.data(), bytes.size(), 0);
        if (!entry || zip_file_add(z, name.c_str(), entry, ZIP_FL_ENC_GUESS) < 0) {
            if (entry) zip_source_free(entry);
            zip_discard(z);
            throw std::runtime_error("zip: cannot add " + name);
        }
    }
    if (zip_close(z) < 0) {
        zip_discard(z);
        throw std::runtime_error("zip: cannot write the archive");
    }
    std::vector<uint8_t> out;
    zip_stat_t st;
    if (zip_source_stat(src.get(), &st) == 0 && zip_source_open(src.get()) == 0) {
        out.resize(st.size);
        const zip_int64_t n = zip_source_read(src.get(), out.data(), out.size());
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        zip_source_close(src.get());
    }
    return out;
}

std::vector<uint8_t> calib_image_of(const std::vector<uint8_t> &payload, uint32_t claimed) {
    std::vector<uint8_t> image(17, 0);
    image[0] = 1;  // valid
    image[2] = 1;  // the payload is a ZIP archive
    wire::put32(&image[11], claimed ? claimed : static_cast<uint32_t>(payload.size()));
    image.insert(image.end(), payload.begin(), payload.end());
    return image;
}

}  // namespace tarvo::sim
