/* Every public header must compile as C. */
#include <tarvo/tarvo.h>

int tarvo_c_headers_probe(void);
int tarvo_c_outputs_probe(void);

int tarvo_c_headers_probe(void) {
    tarvo_dev_t dev = {0};
    tarvo_frame_info_t info = {0};
    return (int)sizeof dev + (int)sizeof info + (tarvo_error_name(0) != 0);
}

/*
 * The frame-product calls as a C caller writes them, on a record that was
 * never opened: one digit per call (the filters' -1 counted as 0).
 */
int tarvo_c_outputs_probe(void) {
    tarvo_dev_t dev = {0};
    tarvo_camera_param_t cam = {0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
    float dist[1] = {2.0f};
    float pcl[4] = {0};
    float gray[1];
    uint8_t rgb[3];
    int digits = tarvo_frame_get_pcl(&dev, pcl, 3, dist, 1, 1, 1, &cam);
    digits += (pcl[2] == 2.0f) * 10;
    digits += tarvo_frame_get_pcl_xyzd(&dev, pcl, 4, dist, 1, 1, 1, false, &cam) * 100;
    digits += (pcl[3] == 2.0f) * 1000;
    digits += tarvo_cmap_float(rgb, 3, dist, 1, TARVO_CMAP_OUTFMT_BGR, 0.0f, 3.0f) * 10000;
    digits += tarvo_frame_get_gray(&dev, gray, 1, rgb, 3, NULL) * 100000;
    digits += (tarvo_filter_enable(&dev, TARVO_FILTER_HDR, NULL, 0) + 1) * 1000000;
    digits += (tarvo_filter_disable(&dev, TARVO_FILTER_MIN_AMPLITUDE) + 1) * 10000000;
    return digits;
}
