// A recording replayed as a simulated camera (tarvo_sim/replay.h).
#include "tarvo_sim/replay.h"

#include "tarvo_sim/scene.h"

namespace tarvo::sim {

namespace {

uint32_t le(const std::vector<uint8_t> &v) {
    uint32_t x = 0;
    for (size_t i = 0; i < v.size() && i < 4; ++i) x |= uint32_t{v[i]} << (8 * i);
    return x;
}

}  // namespace

CameraConfig replay_config(const rec::Recording &r, CameraConfig c) {
    c.product = r.identity.product;
    c.id_text = r.identity.id_text;
    c.version.assign(r.identity.version.begin(), r.identity.version.end());
    // The recorded camera's frames, not a scene: no scene model, and no
    // factory calibration made up for it.
    c.scene.physical = false;
    c.factory_calibration = false;
    c.calibration.assign(r.calibration.begin(), r.calibration.end());
    c.extra_params.clear();
    for (const rec::Param &p : r.params) {
        // Without the stored image, a calibration information saying
        // there is one would send the host to read nothing.
        if (p.id == k_param_calib_info) continue;
        c.extra_params.emplace_back(p.id, p.value);
        if (p.id == k_param_frame_rate) c.frame_rate = le(p.value);
        if (p.id == k_param_chip_info && p.value.size() >= 6)
            for (int i = 0; i < 3; ++i)
                c.chip_info[i] = static_cast<uint16_t>(p.value[2 * i] | p.value[2 * i + 1] << 8);
    }
    if (!c.calibration.empty()) {
        const rec::Param *info = r.param(k_param_calib_info);
        c.extra_params.emplace_back(k_param_calib_info,
                                    info ? info->value : calib_info_of(c.calibration));
    }
    auto frames = std::make_shared<std::vector<ReplayFrame>>();
    frames->reserve(r.frames.size());
    for (const rec::Frame &f : r.frames)
        frames->push_back({f.info.format, static_cast<uint16_t>(f.info.width),
                           static_cast<uint16_t>(f.info.height), f.info.drv_info,
                           std::vector<uint8_t>(f.raw.begin(), f.raw.end())});
    if (!frames->empty()) {
        const ReplayFrame &f0 = frames->front();
        c.stream.format = f0.format;
        c.stream.width = f0.width;
        c.stream.height = f0.height;
        c.stream.frame_bytes = static_cast<uint32_t>(f0.bytes.size());
    }
    c.replay = std::move(frames);
    return c;
}

}  // namespace tarvo::sim
