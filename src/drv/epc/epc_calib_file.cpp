// Unpacking of a stored calibration image: "calibration.bin" (a 17-byte
// header and a ZIP payload) gives "tmp.zip", the archive gives a package
// "calib_and_param_NNN.bin", and the package is split into the DRNU
// parameter file and the DRNU distance images file of the current bank.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "drv/epc/epc_drv.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tarvo/tarvo_epc.h"

namespace tarvo::drv::epc {

namespace {

constexpr size_t k_chunk = 4096;

// Entries extracted by this process, counted from 1.
std::atomic<int> g_extracted{1};

struct FileCloser {
    void operator()(FILE *f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Copies up to `n` bytes from `in` to `out` in chunks; returns the bytes
// copied, or -1 when a write failed.
long long copy_bytes(FILE *in, FILE *out, uint64_t n) {
    char buf[k_chunk];
    uint64_t done = 0;
    while (done < n) {
        const size_t want = n - done < k_chunk ? static_cast<size_t>(n - done) : k_chunk;
        const size_t got = std::fread(buf, 1, want, in);
        if (got == 0) break;
        if (std::fwrite(buf, 1, got, out) != got) return -1;
        done += got;
    }
    return static_cast<long long>(done);
}

long long file_size(FILE *f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return -1;
    const long size = std::ftell(f);
    if (std::fseek(f, 0, SEEK_SET) != 0) return -1;
    return size;
}

}  // namespace

void reset_extract_count() {
    g_extracted.store(1);
}

int on_extract_to_folder_entry(const char *name, void *arg) {
    const int total = arg ? *static_cast<const int *>(arg) : 0;
    TQ_DBG("[%s] Extracted: %s (%d of %d)\n", "on_extract_to_folder_entry", name ? name : "",
           g_extracted.fetch_add(1), total);
    return 0;
}

void _calib_pk_parse(tarvo_drv_t *drv) {
    static const char *const fn = "_calib_pk_parse";
    const std::string prefix = path_prefix(drv->dev);
    const std::string image = prefix + "calibration.bin";
    const std::string tmp = prefix + "tmp.zip";
    {
        File in(platform::open_file(image.c_str(), "rb"));
        if (!in) {
            TQ_ERR("[%s] %s open failed\n", fn, image.c_str());
            return;
        }
        uint8_t raw[k_calib_header_len];
        CalibHeader hdr;
        if (std::fread(raw, 1, sizeof raw, in.get()) != sizeof raw ||
            !parse_calib_header(raw, sizeof raw, hdr)) {
            TQ_ERR("[%s] %s: no calibration header\n", fn, image.c_str());
            return;
        }
        if (hdr.valid == 0) {
            TQ_DBG("[%s] Data not valid\n", fn);
            return;
        }
        if (hdr.archive != 1) {
            TQ_WRN("[%s] No zip used\n", fn);
            return;
        }
        File out(platform::open_file(tmp.c_str(), "wb"));
        if (!out) {
            TQ_ERR("[%s] %s open failed\n", fn, tmp.c_str());
            return;
        }
        // The header's length is the camera's word: copy what the image
        // really holds, and give up on an image shorter than announced.
        const long long copied = copy_bytes(in.get(), out.get(), hdr.payload_len);
        const bool closed = std::fclose(out.release()) == 0;
        if (copied != static_cast<long long>(hdr.payload_len) || !closed) {
            TQ_ERR("[%s] %s: payload of %u bytes announced, %lld stored\n", fn, image.c_str(),
                   hdr.payload_len, copied);
            platform::remove_file(tmp.c_str());
            return;
        }
    }
    int total = 1;
    if (zip_extract(tmp.c_str(), prefix.c_str(), on_extract_to_folder_entry, &total) < 0) {
        TQ_ERR("[%s] %s zip failed\n", fn, tmp.c_str());
    } else {
        TQ_DBG("[%s] unzip %s OK\n", fn, tmp.c_str());
        _parase_file(drv);
    }
    platform::remove_file(tmp.c_str());
}

void _parase_file(tarvo_drv_t *drv) {
    static const char *const fn = "_parase_file";
    // Prefix and name joined by one separator; an empty prefix means the
    // working directory, not the root.
    const std::string prefix = path_prefix(drv->dev);
    const bool sep = prefix.empty() || prefix.back() == '/' || prefix.back() == '\\';
    const std::string pattern = prefix + (sep ? "" : "\\") + "calib_and_param*.bin";
    platform::DirSearch search(pattern.c_str());
    const char *found = search.first();
    if (!found) {
        TQ_ERR("[%s] cann't find file in %s\n", fn, pattern.c_str());
        TQ_DBG("[%s] _parase_file failed\n", fn);
        return;
    }
    // The name found, without the directory the search joined to it.
    const std::string path = found;
    const size_t slash = path.find_last_of("/\\");
    TQ_DBG("[%s] find:%s\n", fn, path.c_str() + (slash == std::string::npos ? 0 : slash + 1));
    TQ_DBG("[%s] parse...\n", fn);
    _parse_file_ex(drv->dev, state_of(drv), path.c_str());
}

int _parse_file_ex(tarvo_dev_t *dev, epc_drv_state_t *st, const char *package) {
    static const char *const fn = "_parse_file_ex";
    if (!st || !package) return 0;
    const int bank = epcgetExtModEnable() ? 0 : 1;
    const std::string prefix = path_prefix(dev);
    const std::string param_path = prefix + st->param_name[bank];
    const std::string images_path = prefix + st->images_name[bank];
    // Once found, the package goes whatever the split makes of it: left
    // behind, a refused package would be taken again by the next read-out
    // in place of the camera's.
    struct RemovePackage {
        const char *path;
        ~RemovePackage() { platform::remove_file(path); }
    } remove_package{package};
    // A failed split must not leave files behind: an images file on disk
    // stops every later open from reading the calibration again.
    auto discard = [&] {
        platform::remove_file(param_path.c_str());
        platform::remove_file(images_path.c_str());
    };

    File param(platform::open_file(param_path.c_str(), "wb"));
    if (!param) {
        TQ_ERR("[%s] %s open failed\n", fn, param_path.c_str());
        return 0;
    }
    File images(platform::open_file(images_path.c_str(), "wb"));
    if (!images) {
        TQ_ERR("[%s] %s open failed\n", fn, images_path.c_str());
        param.reset();
        discard();
        return 0;
    }
    File in(platform::open_file(package, "rb"));
    if (!in) {
        TQ_ERR("[%s] %s open failed\n", fn, package);
        param.reset();
        images.reset();
        discard();
        return 0;
    }
    const long long size = file_size(in.get());
    const uint64_t param_len = size > 0 ? package_param_len(static_cast<uint64_t>(size)) : 0;
    if (size < 256) {
        // No distance image in it: nothing to calibrate with.
        TQ_ERR("[%s] %s: %lld bytes hold no calibration images\n", fn, package, size);
        param.reset();
        images.reset();
        discard();
        return 0;
    }
    const long long p = copy_bytes(in.get(), param.get(), param_len);
    const bool param_ok =
        std::fclose(param.release()) == 0 && p == static_cast<long long>(param_len);
    const uint64_t rest = static_cast<uint64_t>(size) - param_len;
    const long long q = copy_bytes(in.get(), images.get(), rest);
    const bool images_ok = std::fclose(images.release()) == 0 && q == static_cast<long long>(rest);
    in.reset();
    if (!param_ok || !images_ok) {
        TQ_ERR("[%s] %s: split failed\n", fn, package);
        discard();
        return 0;
    }
    return 1;
}

}  // namespace tarvo::drv::epc
