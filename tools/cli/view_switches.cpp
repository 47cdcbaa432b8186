// The viewer's switches of the running camera.
#include "view_switches.h"

namespace tarvo_cli {

Record switches_record(const Switches &s) {
    Record r;
    r.add("undistort", s.undistort)
        .add("min_amplitude", s.min_amplitude)
        .add("auto_intg", s.auto_intg)
        .add("hdr", s.hdr)
        .add("sync_guard", s.sync_guard)
        .add("fps", s.fps);
    return r;
}

bool set_frame_rate(tarvo_dev_t *dev, unsigned fps) {
    tarvo_param_item_t item{};
    item.param_id = TARVO_PARAM_FRAME_RATE;
    item.param_val_len = 4;
    for (int k = 0; k < 4; ++k) item.param_val[k] = static_cast<uint8_t>(fps >> (8 * k));
    return tarvo_param_batch_set(dev, &item, 1);
}

int apply_switch(tarvo_dev_t *dev, const std::string &name, int64_t v, Switches &sw,
                 std::string &why) {
    int r = 1;
    if (name == "undistort") {
        r = v > 0 ? tarvo_filter_enable(dev, TARVO_FILTER_LENS_UNDISTORT, nullptr, 0)
                  : tarvo_filter_disable(dev, TARVO_FILTER_LENS_UNDISTORT);
        if (r == 1) sw.undistort = v > 0;
    } else if (name == "hdr") {
        r = v > 0 ? tarvo_filter_enable(dev, TARVO_FILTER_HDR, nullptr, 0)
                  : tarvo_filter_disable(dev, TARVO_FILTER_HDR);
        if (r == 1) sw.hdr = v > 0;
    } else if (name == "min_amplitude") {
        // Off is a threshold of 0: a driver whose filter is switched off
        // leaves the engine at the last threshold it passed.
        const int32_t a = static_cast<int32_t>(v < 0 ? 0 : v);
        r = tarvo_filter_enable(dev, TARVO_FILTER_MIN_AMPLITUDE, &a, sizeof a);
        if (r == 1) sw.min_amplitude = a;
    } else if (name == "auto_intg" || name == "sync_guard") {
        const int id =
            name == "auto_intg" ? TARVO_FILTER_AUTO_INTEGRATION : TARVO_FILTER_SYNC_GUARD;
        const uint16_t a = static_cast<uint16_t>(v);
        r = v >= 0 ? tarvo_filter_enable(dev, id, &a, sizeof a) : tarvo_filter_disable(dev, id);
        if (r == 1) (name == "auto_intg" ? sw.auto_intg : sw.sync_guard) = static_cast<int>(v);
    } else if (name == "fps") {
        if (v < 1 || v > 1000) {
            why = "fps needs 1 to 1000";
            return 400;
        }
        r = set_frame_rate(dev, static_cast<unsigned>(v)) ? 1 : 0;
        if (r == 1) sw.fps = static_cast<unsigned>(v);
    } else {
        why = "no such switch: " + name;
        return 400;
    }
    if (r != 1) {
        why = "the camera refused " + name + " (see the log)";
        return 502;
    }
    return 200;
}

}  // namespace tarvo_cli
