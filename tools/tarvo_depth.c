/*
 * tarvo-depth: captures frames from the first camera and prints, per frame,
 * the distance at the image centre, the share of valid pixels and the size
 * of the point cloud. A plain C program on the public interface only, and
 * the quickest way to see that a camera (or a simulated one) delivers depth:
 *
 *     tarvo-depth [FRAMES]          (default 5)
 *     tarvo-sim run --distance 2.5 -- tarvo-depth 3
 *
 * Exit status: 0 when every frame was converted, 1 when no camera answered
 * or a frame failed, 2 for a bad argument.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "tarvo/tarvo.h"

/* The largest frame this program takes: the whole sensor, four phase
 * planes of 16-bit samples. */
enum { k_max_w = 328, k_max_h = 252, k_max_pixels = k_max_w * k_max_h };

static uint8_t g_raw[k_max_pixels * 8];
static float g_dist[k_max_pixels];
static float g_xyz[3 * k_max_pixels];

/* One frame: capture, distance, point cloud. Returns 0 or 1 (failed). */
static int one_frame(tarvo_dev_t *dev, int k) {
    tarvo_frame_info_t info;
    if (tarvo_cap_get_frames(dev, 1, g_raw, sizeof g_raw, &info) != 1) {
        fprintf(stderr, "tarvo-depth: frame %d: no frame\n", k);
        return 1;
    }
    const int w = (int)info.width, h = (int)info.height;
    if (w <= 0 || h <= 0 || w * h > k_max_pixels) {
        fprintf(stderr, "tarvo-depth: frame %d: unexpected size %dx%d\n", k, w, h);
        return 1;
    }
    const int n = tarvo_frame_get_distance(dev, g_dist, w * h, g_raw, sizeof g_raw, &info);
    if (n != w * h) {
        fprintf(stderr, "tarvo-depth: frame %d: distance conversion failed (%d of %d)\n", k, n,
                w * h);
        return 1;
    }
    int valid = 0;
    for (int i = 0; i < n; ++i)
        if (g_dist[i] > 0.0f && g_dist[i] < 60.0f) ++valid;
    const int points = tarvo_frame_get_pcl(dev, g_xyz, 3 * k_max_pixels, g_dist, n, w, h, NULL);
    printf("frame %u: %dx%d centre %.3f m, valid %.1f%%, %d points\n", (unsigned)info.frame_idx, w,
           h, g_dist[(h / 2) * w + w / 2], 100.0 * valid / n, points);
    return 0;
}

int main(int argc, char **argv) {
    int frames = 5;
    if (argc > 2 || (argc == 2 && (frames = atoi(argv[1])) <= 0)) {
        fprintf(stderr, "usage: tarvo-depth [FRAMES]\n");
        return 2;
    }
    tarvo_init(NULL); /* log file tarvo_YYYYMMDD.log in the working directory */
    int failed = 1;
    tarvo_dev_t list[8];
    if (tarvo_dev_list(list, 8) < 1) {
        fprintf(stderr, "tarvo-depth: no camera found\n");
    } else {
        tarvo_dev_t *dev = tarvo_dev_open(&list[0]);
        if (!dev) {
            fprintf(stderr, "tarvo-depth: the camera did not open\n");
        } else {
            if (tarvo_cap_start(dev)) {
                failed = 0;
                for (int k = 0; k < frames && !failed; ++k) failed = one_frame(dev, k);
                tarvo_cap_stop(dev);
            } else {
                fprintf(stderr, "tarvo-depth: capture did not start\n");
            }
            tarvo_dev_close(dev);
        }
    }
    tarvo_uninit();
    return failed;
}
