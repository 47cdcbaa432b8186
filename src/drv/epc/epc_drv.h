// Internals of the EPC chip driver shared by its files: the driver-private
// state kept in the registry row's `priv`, the filter identifiers, the
// process-wide lens record, the calibration read-out and its parsers, and
// the ZIP extraction the read-out uses.
//
// Threads: like the EPC engine behind it, the driver serves one camera at a
// time, and nothing here takes a lock. Filters are switched on application
// threads while other threads describe and decode frames, so every switch
// and setting of the state is an atomic word, written whole by a filter
// call and read whole by a decode (a switch made during a decode takes
// effect with that decode or the next). The
// undistortion map and the lens record are never changed in place: a new
// one is built aside and published by swapping a shared pointer, and the
// old one is freed by whoever drops the last reference (the switching
// thread, or a decode that still used it); taking or swapping one is a
// short lock of its own, never held while anything else is.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "tarvo/tarvo_dev.h"
#include "tarvo/tarvo_drv.h"
#include "tarvo/tq_calib_len.h"

namespace tarvo::drv::epc {

// Frame formats the driver knows.
constexpr uint16_t k_fmt_gray = 0;
constexpr uint16_t k_fmt_distance = 2;
constexpr uint16_t k_fmt_no_image = 8;
constexpr uint16_t k_fmt_calib_data = 171;

// Length of a calibration file name kept in the state.
constexpr size_t k_name_len = 256;

// A read-only object that one thread replaces while others use it: a
// reader takes a reference (one short lock) and keeps the object alive for
// as long as it holds it; the replaced object is freed, outside the lock,
// by whoever drops the last reference.
template <class T>
class Published {
  public:
    std::shared_ptr<const T> load() const {
        std::lock_guard<std::mutex> lock(m_);
        return p_;
    }
    void store(std::shared_ptr<const T> p) {
        std::unique_lock<std::mutex> lock(m_);
        std::shared_ptr<const T> old = std::exchange(p_, std::move(p));
        lock.unlock();
    }

  private:
    mutable std::mutex m_;
    std::shared_ptr<const T> p_;
};

// An undistortion map as decodes share it: built once, read-only after
// publication, its arrays released with the last reference.
struct LensMap {
    tq_calib_len_map_t map{};
    LensMap() = default;
    LensMap(const LensMap &) = delete;
    LensMap &operator=(const LensMap &) = delete;
    ~LensMap() { tq_calib_len_uninit_map(&map); }
};
using LensMapRef = std::shared_ptr<const LensMap>;
// Builds the map of `lens`; null when the record makes none.
LensMapRef build_lens_map(const tq_lens_param_t &lens);

// The driver-private state, made by epc_init with the initial switches.
// The calibration file names are written by calib_load during open,
// before any filter or decode can run.
struct epc_drv_state_t {
    Published<LensMap> map;                     // undistortion map of the lens record
    std::atomic<uint8_t> calib_reload_mode;     // argument of the calibration reload filter
    std::atomic<int32_t> min_amplitude;         // argument of the minimum amplitude filter
    std::atomic<uint16_t> auto_intg_threshold;  // per mille of saturated samples
    std::atomic<uint16_t> sync_value;           // argument of the sync guard
    std::atomic<int16_t> temp_threshold;        // degC, stored only
    std::atomic<uint8_t> frame_valid;
    std::atomic<uint8_t> calib_reload_on;
    std::atomic<uint8_t> lens_undistort_on;
    std::atomic<uint8_t> min_amplitude_on;
    std::atomic<uint8_t> auto_intg_on;
    std::atomic<uint8_t> sync_guard_on;
    std::atomic<uint8_t> sync_flag;
    std::atomic<uint8_t> temp_monitor_on;
    std::atomic<uint8_t> hdr_on;
    // Per bank: DRNU images name, DRNU parameter name.
    char images_name[2][k_name_len];
    char param_name[2][k_name_len];
};

// The state of a row, or null when init failed or never ran.
inline epc_drv_state_t *state_of(const tarvo_drv_t *drv) {
    return drv ? static_cast<epc_drv_state_t *>(drv->priv) : nullptr;
}

// --- Driver operations (epc_ops.cpp) ---
// The state of a row whose init succeeded; otherwise logs at ERR, as `fn`,
// that the driver did not start on the camera, and returns null.
epc_drv_state_t *live_state(const tarvo_drv_t *drv, const char *fn);
// Forgets the time of the last temperature report (tests).
void reset_monitor_clock();
// The driver's clock for its intervals (the temperature report, the sync
// correction): milliseconds on the monotonic clock, which no step of the
// wall clock moves.
int64_t clock_ms();
// Puts `fn` in place of the monotonic clock; null puts it back (tests).
using clock_fn = int64_t (*)();
void set_clock(clock_fn fn);

// --- Lens record (epc_lens.cpp) ---
// The process-wide lens record: the built-in default until a lens file
// replaced fields of it. A copy of the record as last published.
tq_lens_param_t lens_record();
// Publishes `rec` as the lens record.
void set_lens_record(const tq_lens_param_t &rec);
// Back to the built-in default (tests).
void lens_record_reset();
// Parses the text of a lens file into `rec` field by field, as
// _tq_update_len_param does, logging each value. Returns the number of
// lines read (1 for a text without a line break).
int parse_lens_text(const char *text, size_t len, tq_lens_param_t &rec);
// Reloads the lens record from <prefix>lens_param.txt: 1 when the file had
// exactly 11 lines, else 0. The fields a file gives replace those of the
// record, which is published whole once the file has been read.
int _tq_update_len_param(tarvo_dev_t *dev);

// --- Calibration (epc_calib.cpp, epc_calib_file.cpp) ---
// The 17-byte header of a stored calibration image.
struct CalibHeader {
    uint8_t valid = 0;
    uint8_t archive = 0;
    uint32_t payload_len = 0;
};
constexpr size_t k_calib_header_len = 17;
// Decodes the header; false when fewer than 17 bytes are given.
bool parse_calib_header(const uint8_t *p, size_t n, CalibHeader &out);
// Size of the DRNU parameter part of a package of `package_size` bytes: the
// images part is a multiple of 256 bytes.
inline size_t package_param_len(uint64_t package_size) {
    return static_cast<size_t>(package_size % 256);
}

// The path prefix of a device (the library's one when the record has none).
std::string path_prefix(const tarvo_dev_t *dev);

int calib_load(tarvo_drv_t *drv, int source, int flags, int mode);
int _load_calib_data(tarvo_drv_t *drv);
void _calib_pk_parse(tarvo_drv_t *drv);
void _parase_file(tarvo_drv_t *drv);
// Splits `package` into the bank's DRNU files: 1, or 0 when it could not
// (a file that would not open, a package without images, a failed copy;
// the DRNU files are then removed). The package is deleted on every path.
int _parse_file_ex(tarvo_dev_t *dev, epc_drv_state_t *st, const char *package);
int on_extract_to_folder_entry(const char *name, void *arg);
// Resets the process-wide count of extracted entries (tests).
void reset_extract_count();

// --- ZIP (zip_extract.cpp) ---
// Callback per extracted entry, once it is on disk: the entry's name in the
// archive and the caller's argument; a non-zero result stops the
// extraction with a failure.
using zip_entry_cb = int (*)(const char *name, void *arg);
// Extracts every entry of the archive at `zip_path` into `dir` (created
// when missing), calling `cb` once per entry. Entry names that are
// absolute, climb out of `dir` ("..") or are longer than k_zip_name_max
// bytes are refused, and so is an archive whose entries hold more than
// k_zip_archive_max bytes in all (the largest calibration, 30 DRNU images
// and its parameters, is about 4.6 MB): by the sizes the archive claims,
// before anything is written, and by the bytes they really expand to.
// Returns 0, or -1 (archive unreadable, refused entry or archive, write
// failure, callback failure); entries written before the failure stay on
// disk, except the one being written.
constexpr uint64_t k_zip_archive_max = 16ull << 20;
constexpr size_t k_zip_name_max = 255;
int zip_extract(const char *zip_path, const char *dir, zip_entry_cb cb, void *arg);

// --- Decoding (epc_decode.cpp) ---
int epc_frame_decode(tarvo_drv_t *drv, void *dst, uint32_t dst_bytes, int out_kind,
                     const uint16_t *src, uint32_t src_bytes, const tarvo_frame_info_t *info);
// HDR merge of the phase image `img` (w x h, row pairs) in place.
void hdr_merge_rows(uint16_t *img, int w, int h);
// Phase value or code of the merged image as metres.
float hdr_to_metres(uint16_t v, int freq_khz);
// The time stamp of the last sync correction (tests reset it).
void reset_sync_clock();

}  // namespace tarvo::drv::epc
