// The data actions of the command channel (request 0xCC), answered by the
// camera's flash model.
#include <algorithm>
#include <cstring>
#include <span>

#include "state.h"
#include "wire.h"

namespace tarvo::sim {

void cam_data_action(Camera::State &s, bool in, uint16_t value, const uint8_t *d, size_t len,
                     std::vector<uint8_t> &reply, int64_t now) {
    std::span<const uint8_t> out(d, in ? 0 : len);
    FlashReply r = s.flash->handle(in, value, out, static_cast<uint16_t>(reply.size()));
    switch (r.kind) {
        case FlashReply::Kind::ok:
            if (in && value == 0 && s.cfg.hostile == Hostile::flash_sizes && r.data.size() >= 12) {
                // The information record: size and address beyond any flash.
                wire::put32(r.data.data() + 4, 0xFFFFFFF0u);
                wire::put32(r.data.data() + 8, 0xFFFFFFF0u);
            }
            if (in) std::memcpy(reply.data(), r.data.data(), std::min(reply.size(), r.data.size()));
            return;
        case FlashReply::Kind::error:
            s.last_status = wire::k_status_error;
            s.last_text = r.text;
            return;
        case FlashReply::Kind::vanish:
            // The connection drops with this command: the camera leaves the
            // bus at once, and whatever the host asks next finds no device.
            s.last_status = wire::k_status_error;
            s.last_text = "connection lost";
            cam_schedule_vanish(s, now, 0);
            return;
    }
}

Flash &Camera::flash() const {
    return *s_->flash;
}

}  // namespace tarvo::sim
