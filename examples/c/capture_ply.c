/*
 * The smallest complete libtarvo program: lists the cameras, opens the
 * first, captures ten frames and writes the last one's point cloud as an
 * ASCII PLY file.
 *
 *     capture_ply [OUT.ply]            (default cloud.ply)
 *     tarvo-sim run -- capture_ply     (on the simulated camera)
 *
 * Build against an installed libtarvo:
 *     cc capture_ply.c $(pkg-config --cflags --libs tarvo)
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <tarvo/tarvo.h>

enum { k_w = 320, k_h = 240 };

static uint8_t g_raw[k_w * k_h * 8]; /* one frame: four planes of 16-bit samples */
static float g_dist[k_w * k_h];
static float g_xyz[3 * k_w * k_h];

int main(int argc, char **argv) {
    const char *out = argc > 1 ? argv[1] : "cloud.ply";
    printf("libtarvo %s (headers %d.%d.%d)\n", tarvo_version(), TARVO_VERSION_MAJOR,
           TARVO_VERSION_MINOR, TARVO_VERSION_PATCH);
    tarvo_init(NULL);
    tarvo_dev_t list[4];
    const int found = tarvo_dev_list(list, 4);
    printf("%d camera(s)\n", found);
    int status = 1;
    tarvo_dev_t *dev = found > 0 ? tarvo_dev_open(&list[0]) : NULL;
    if (dev && tarvo_cap_start(dev)) {
        tarvo_frame_info_t info;
        int frames = 0, points = 0;
        for (int k = 0; k < 10; ++k) {
            if (tarvo_cap_get_frames(dev, 1, g_raw, sizeof g_raw, &info) != 1) break;
            if (info.width != k_w || info.height != k_h) break;
            const int n =
                tarvo_frame_get_distance(dev, g_dist, k_w * k_h, g_raw, sizeof g_raw, &info);
            if (n != k_w * k_h) break;
            points = tarvo_frame_get_pcl(dev, g_xyz, 3 * k_w * k_h, g_dist, n, k_w, k_h, NULL);
            ++frames;
        }
        tarvo_cap_stop(dev);
        FILE *f = frames == 10 ? fopen(out, "w") : NULL;
        if (f) {
            fprintf(f, "ply\nformat ascii 1.0\nelement vertex %d\n", points);
            fprintf(f, "property float x\nproperty float y\nproperty float z\nend_header\n");
            for (int i = 0; i < points; ++i)
                fprintf(f, "%.4f %.4f %.4f\n", g_xyz[3 * i], g_xyz[3 * i + 1], g_xyz[3 * i + 2]);
            status = fclose(f) == 0 ? 0 : 1;
            printf("%d frames, %d points in %s, centre %.3f m\n", frames, points, out,
                   g_dist[(k_h / 2) * k_w + k_w / 2]);
        } else {
            fprintf(stderr, "capture_ply: %d of 10 frames\n", frames);
        }
    } else {
        fprintf(stderr, "capture_ply: no camera could be opened\n");
    }
    if (dev) tarvo_dev_close(dev);
    tarvo_uninit();
    return status;
}
