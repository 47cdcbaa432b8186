// libtarvo from C++ with the frame-ready callback: the library hands each
// frame to the callback on the thread that waits in tarvo_cap_get_frames(),
// which here collects 20 frames; the callback decodes them and keeps the
// centre distance.
//
//     tarvo-sim run -- frame_callback
#include <tarvo/tarvo.h>

#include <cstdio>
#include <vector>

namespace {

struct Stats {
    int frames = 0;
    double centre_sum = 0;
};
Stats g_stats;  // the callback has no user pointer: one camera, one program

void on_frame(tarvo_dev_t *dev, tarvo_frame_t *frame) {
    const tarvo_frame_info_t &info = frame->frame_info;
    std::vector<float> dist(static_cast<size_t>(info.width) * info.height);
    const int n = tarvo_frame_get_distance(dev, dist.data(), static_cast<int>(dist.size()),
                                           frame->frame_data, info.frame_size, &info);
    if (n != static_cast<int>(dist.size()) || n == 0) return;
    ++g_stats.frames;
    g_stats.centre_sum += dist[(info.height / 2) * info.width + info.width / 2];
}

}  // namespace

int main() {
    tarvo_init(nullptr);
    tarvo_dev_t list[4];
    int status = 1;
    tarvo_dev_t *dev = tarvo_dev_list(list, 4) > 0 ? tarvo_dev_open(&list[0]) : nullptr;
    if (dev && tarvo_cap_set_callback_on_frame_ready(dev, on_frame) && tarvo_cap_start(dev)) {
        std::vector<uint8_t> buf(20u * 320 * 240 * 8);
        const int got =
            tarvo_cap_get_frames(dev, 20, buf.data(), static_cast<uint32_t>(buf.size()), nullptr);
        tarvo_cap_stop(dev);
        if (got == 20 && g_stats.frames == 20) {
            std::printf("%d frames through the callback, mean centre %.3f m\n", g_stats.frames,
                        g_stats.centre_sum / g_stats.frames);
            status = 0;
        } else {
            std::fprintf(stderr, "frame_callback: %d collected, %d decoded\n", got, g_stats.frames);
        }
    } else {
        std::fprintf(stderr, "frame_callback: no camera could be opened\n");
    }
    if (dev) tarvo_dev_close(dev);
    tarvo_uninit();
    return status;
}
