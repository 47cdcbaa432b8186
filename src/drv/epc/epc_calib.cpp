// Calibration loading of the EPC driver: at open the DRNU files are looked
// for under the path prefix; when they are missing the camera is switched
// to data upload mode, its stored calibration image is captured as one
// frame and unpacked (see epc_calib_file.cpp) into the two DRNU files, and
// the engine configuration is reloaded.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/byteio.h"
#include "drv/epc/epc_drv.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tarvo/tarvo_epc.h"
#include "tarvo/tarvo_epc_drv.h"

namespace tarvo::drv::epc {

namespace {

constexpr int k_addr = 32;
constexpr uint32_t k_upload_frame_buffer = 12288000;
// The stored image is a small header and a ZIP of one calibration package
// (about 5 MB unpacked, far less packed). A camera announcing more than
// this is not believed.
constexpr uint32_t k_calib_image_max = 64u << 20;
constexpr uint8_t k_mode_data_up = 9;
constexpr uint8_t k_mode_normal = 0;

bool set_mode(tarvo_dev_t *dev, uint8_t mode) {
    tarvo_param_item_t item{};
    item.param_id = TARVO_PARAM_MODE;
    item.param_val_len = 1;
    item.param_val[0] = mode;
    return tarvo_param_batch_set(dev, &item, 1);
}

struct CalibInfo {
    uint8_t valid = 0;
    uint32_t version = 0;
    uint32_t file_size = 0;
    uint32_t valid_size = 0;
    uint16_t checksum = 0;
};

CalibInfo decode_calib_info(const uint8_t *v, size_t n) {
    ByteReader r(v, n);
    CalibInfo ci;
    ci.valid = r.u8();
    r.skip(2);
    ci.version = r.u32();
    ci.file_size = r.u32();
    ci.valid_size = r.u32();
    ci.checksum = r.u16();
    return ci;
}

bool write_file(const std::string &path, const uint8_t *data, size_t n) {
    FILE *f = platform::open_file(path.c_str(), "wb");
    if (!f) {
        TQ_ERR("[%s] %s open failed\n", "_load_calib_data", path.c_str());
        return false;
    }
    const bool ok = std::fwrite(data, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

std::string path_prefix(const tarvo_dev_t *dev) {
    const char *p = dev && dev->path_prefix ? dev->path_prefix : tarvo_path_get();
    return p ? std::string(p) : std::string();
}

bool parse_calib_header(const uint8_t *p, size_t n, CalibHeader &out) {
    if (!p || n < k_calib_header_len) return false;
    ByteReader r(p, n);
    out.valid = r.u8();
    r.skip(1);
    out.archive = r.u8();
    r.skip(8);
    out.payload_len = r.u32();
    return r.ok();
}

int calib_load(tarvo_drv_t *drv, int, int, int) {
    epc_drv_state_t *st = state_of(drv);
    if (!st || !drv->dev) return -1;
    for (int bank = 0; bank < 2; ++bank) {
        calibrationGetDistanceImagesName(st->images_name[bank], bank);
        calibrationGetParamName(st->param_name[bank], bank);
    }
    if (calibrationDataFileCheck(epcgetExtModEnable() ? 0 : 1) == 0) return 0;
    if (!_load_calib_data(drv)) return -1;
    configInit(k_addr);
    return 0;
}

int _load_calib_data(tarvo_drv_t *drv) {
    static const char *const fn = "_load_calib_data";
    tarvo_dev_t *dev = drv->dev;
    tarvo_cap_set_frame_buffer(dev, nullptr, k_upload_frame_buffer);
    tarvo_cap_set_callback_on_error(dev, nullptr);
    tarvo_cap_set_callback_on_frame_ready(dev, nullptr);

    if (!set_mode(dev, k_mode_data_up)) {
        TQ_ERR("[%s]  set mode to DATA_UP failed!\n", fn);
        return 0;
    }
    tarvo_param_item_t item{};
    item.param_id = TARVO_PARAM_CALIB_INFO;
    if (!tarvo_param_batch_get(dev, &item, 1)) {
        TQ_ERR("[%s]  get param of calib data failed!\n", fn);
        set_mode(dev, k_mode_normal);
        return 0;
    }
    const size_t vlen =
        item.param_val_len < sizeof item.param_val ? item.param_val_len : sizeof item.param_val;
    const CalibInfo ci = decode_calib_info(item.param_val, vlen);
    if (ci.valid != 1) {
        TQ_DBG("[%s] %s: fsize:%d, valid data size:%d, ck_sum:%d, version:%d\n", fn,
               "Calib data not valid", static_cast<int>(ci.file_size),
               static_cast<int>(ci.valid_size), ci.checksum, static_cast<int>(ci.version));
        set_mode(dev, k_mode_normal);
        return 0;
    }
    if (ci.file_size == 0 || ci.file_size > k_calib_image_max) {
        TQ_ERR("[%s] calibration image of %u bytes refused\n", fn, ci.file_size);
        set_mode(dev, k_mode_normal);
        return 0;
    }
    std::unique_ptr<uint8_t, decltype(&std::free)> buf(
        static_cast<uint8_t *>(std::malloc(ci.file_size)), &std::free);
    if (!buf) {
        set_mode(dev, k_mode_normal);
        return 0;
    }
    tarvo_cap_start(dev);
    tarvo_frame_info_t info{};
    const int got = tarvo_cap_get_frames(dev, 1, buf.get(), ci.file_size, &info);
    TQ_DBG("[%s] get %d frames: [%u, %ux%u, %u]\n", fn, got, static_cast<unsigned>(info.frame_idx),
           info.width, info.height, static_cast<unsigned>(info.frame_format));
    if (got != 1) {
        TQ_DBG("[%s] capturing is stopped due to some error!\n", fn);
    } else if (info.frame_format != k_fmt_calib_data) {
        // An image frame is no calibration, whatever its bytes look like.
        TQ_ERR("[%s] frame of format %u is no calibration data\n", fn,
               static_cast<unsigned>(info.frame_format));
    } else {
        // Only the bytes the frame brought: a shorter frame leaves the rest
        // of the buffer unwritten.
        const size_t n = info.frame_size < ci.file_size ? info.frame_size : ci.file_size;
        const std::string path = path_prefix(dev) + "calibration.bin";
        const bool written = write_file(path, buf.get(), n);
        buf.reset();
        if (written) _calib_pk_parse(drv);
        platform::remove_file(path.c_str());
    }
    tarvo_cap_stop(dev);
    set_mode(dev, k_mode_normal);
    return 1;
}

}  // namespace tarvo::drv::epc

extern "C" {

TARVO_API const char pathdir[] = "./calibration/";
TARVO_API const char *const pathOffset[2] = {
    "./calibration/PT02_W000_C000_offset_factory_21.bin",
    "./calibration/PT02_W000_C000_offset_user_21.bin",
};
TARVO_API const char *const pathFPN[2] = {
    "./calibration/PT02_W000_C000_calibration_factory_21.bin",
    "./calibration/PT02_W000_C000_calibration_user_21.bin",
};
TARVO_API const char *const calib_file_name[2] = {"calib.bin", "calib_usr.bin"};

}  // extern "C"
