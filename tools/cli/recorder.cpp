// Recording a camera: what tarvo-cli record and the viewer's record
// button share.
#include "recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "tarvo/tarvo_drv.h"
#include "tarvo/tarvo_epc.h"

namespace tarvo_cli {

namespace rec = tarvo::rec;

namespace {

// The USB ids the library looks for: every camera it lists has them.
constexpr uint16_t k_usb_vendor = 0x1209, k_usb_product = 0x7A7F;
// Room the library's own calibration read-out gives the reassembler.
constexpr uint32_t k_calib_frame_buffer = 12288000;

std::string text_of(const char *p, size_t n) {
    size_t len = 0;
    while (len < n && p[len]) ++len;
    return std::string(p, len);
}

bool set_mode(tarvo_dev_t *dev, uint8_t mode) {
    tarvo_param_item_t item{};
    item.param_id = TARVO_PARAM_MODE;
    item.param_val_len = 1;
    item.param_val[0] = mode;
    return tarvo_param_batch_set(dev, &item, 1);
}

}  // namespace

rec::Identity identity_of(tarvo_dev_t *dev) {
    rec::Identity id;
    id.product = text_of(dev->product, sizeof dev->product);
    id.id_text = text_of(dev->id_text, sizeof dev->id_text);
    std::copy(std::begin(dev->id_block), std::end(dev->id_block), id.id_block.begin());
    std::copy(std::begin(dev->version), std::end(dev->version), id.version.begin());
    id.usb_vendor = k_usb_vendor;
    id.usb_product = k_usb_product;
    id.bus = dev->if_info.usb_bus_num;
    id.port = dev->if_info.usb_port_num;
    id.address = dev->if_info.usb_addr;
    id.speed = dev->if_info.usb_speed;
    const tarvo_drv_t *drv = tarvo_dev_get_drv(dev);
    id.driver = drv && drv->name ? drv->name : "";
    return id;
}

std::vector<rec::Param> params_of(tarvo_dev_t *dev) {
    static const uint8_t ids[] = {
        TARVO_PARAM_MODE,       TARVO_PARAM_ID_TEXT,     TARVO_PARAM_PRODUCT,
        TARVO_PARAM_ID_BLOCK,   TARVO_PARAM_VERSION,     TARVO_PARAM_CHIP_INFO,
        TARVO_PARAM_CALIB_INFO, TARVO_PARAM_SENSOR_MODE, TARVO_PARAM_FRAME_RATE,
        TARVO_PARAM_INTG_TIME,  TARVO_PARAM_TEMPERATURE, TARVO_PARAM_SYNC_DELAY};
    std::vector<rec::Param> out;
    for (uint8_t id : ids) {
        tarvo_param_item_t item{};
        item.param_id = id;
        if (!tarvo_param_batch_get(dev, &item, 1) || item.param_val_len == 0) continue;
        const size_t n = std::min<size_t>(item.param_val_len, sizeof item.param_val);
        out.push_back({id, std::vector<uint8_t>(item.param_val, item.param_val + n)});
    }
    return out;
}

// The calibration image the camera stores, taken the way the library
// reads it out: in data upload mode the camera sends it as one frame of
// format 171. Empty when the camera holds none.
std::vector<uint8_t> calibration_of(tarvo_dev_t *dev) {
    std::vector<uint8_t> image;
    tarvo_param_item_t info{};
    info.param_id = TARVO_PARAM_CALIB_INFO;
    if (!tarvo_param_batch_get(dev, &info, 1) || info.param_val_len < 11 || info.param_val[0] != 1)
        return image;
    const uint32_t size = le_u32(info.param_val + 7, 4);
    if (size == 0 || size > rec::k_max_calibration_bytes) return image;
    uint32_t old_buffer = 0;
    tarvo_cap_get_frame_buffer(dev, nullptr, &old_buffer);
    if (!set_mode(dev, 9)) return image;
    tarvo_cap_set_frame_buffer(dev, nullptr, std::max(old_buffer, k_calib_frame_buffer));
    image.resize(size);
    tarvo_frame_info_t fi{};
    const bool got = tarvo_cap_start(dev) &&
                     tarvo_cap_get_frames(dev, 1, image.data(), size, &fi) == 1 &&
                     fi.frame_format == 171 && fi.frame_size == size;
    tarvo_cap_stop(dev);
    set_mode(dev, 0);
    tarvo_cap_set_frame_buffer(dev, nullptr, old_buffer);
    if (!got) image.clear();
    return image;
}

RecordSink::RecordSink(std::string file, std::string dist_file, rec::Identity id,
                       std::vector<rec::Param> params, std::vector<uint8_t> calib)
    : file_(std::move(file)),
      dist_file_(std::move(dist_file)),
      id_(std::move(id)),
      params_(std::move(params)),
      calib_(std::move(calib)) {}
RecordSink::~RecordSink() {
    if (dist_fd_ >= 0) ::close(dist_fd_);
}

bool RecordSink::frame(tarvo_dev_t *dev, unsigned, const uint8_t *raw,
                       const tarvo_frame_info_t &info, const Image &im) {
    const auto now = std::chrono::steady_clock::now();
    tarvo_drv_t *drv = tarvo_dev_get_drv(dev);
    const bool epc = drv && drv->ops == &g_tarvo_driver_op_epc;
    if (!w_.ok()) {
        // The lens record at the frames' size, once that is known.
        std::optional<rec::Lens> lens;
        tq_lens_param_t lp{};
        if (drv && drv->ops->lens_param_get &&
            drv->ops->lens_param_get(drv, &lp, static_cast<int>(info.width),
                                     static_cast<int>(info.height))) {
            rec::Lens l;
            l.cx = lp.cx;
            l.cy = lp.cy;
            l.fx = lp.fx;
            l.fy = lp.fy;
            for (int k = 0; k < 5; ++k) l.dcoeff[k] = lp.dcoeff[k];
            l.width = static_cast<uint32_t>(lp.img_w);
            l.height = static_cast<uint32_t>(lp.img_h);
            lens = l;
        }
        if (!w_.open(file_, id_, params_, lens, calib_))
            return fail("cannot write " + file_, 0) != 0;
        if (!dist_file_.empty() &&
            (dist_fd_ = ::open(dist_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) < 0)
            return fail("cannot create " + dist_file_, 0) != 0;
        t0_ = now;
    }
    if (dist_fd_ >= 0 && !tarvo_frame_save_distance(dist_fd_, TARVO_FRAME_SAVE_F32, im.dist.data(),
                                                    im.width * im.height, im.width, im.height))
        return fail("writing " + dist_file_ + " failed", 0) != 0;
    rec::FrameInfo fi;
    fi.size = info.frame_size;
    fi.format = info.frame_format;
    fi.index = info.frame_idx;
    fi.width = info.width;
    fi.height = info.height;
    fi.bpp = info.frame_bpp;
    if (epc) {
        // The temperatures of this frame's header, as the engine took them.
        const int t[2] = {temperatureGetTemperatureByFrameHeader(),
                          temperatureGetIbTemperatureByFrameHeader()};
        for (int k = 0; k < 2; ++k) {
            fi.drv_info[2 * k] = static_cast<uint8_t>(t[k]);
            fi.drv_info[2 * k + 1] = static_cast<uint8_t>(static_cast<unsigned>(t[k]) >> 8);
        }
    }
    fi.time_us = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now - t0_).count());
    if (!w_.add_frame(fi, {raw, info.frame_size}))
        return fail("writing " + file_ + " failed", 0) != 0;
    return true;
}

bool RecordSink::finish(tarvo_dev_t *) {
    return w_.close() || fail("writing " + file_ + " failed", 0) != 0;
}

}  // namespace tarvo_cli
