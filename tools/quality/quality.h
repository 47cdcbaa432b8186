// Depth-quality figures of a camera pointed at a flat wall: a plane fitted
// to the points of a region of interest, how far the points stray from it,
// how many pixels carry a distance, and how much each pixel's distance
// varies from frame to frame. tarvo-cli quality prints them and the viewer
// shows them live.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "tarvo/tarvo.h"

namespace tarvo_quality {

// A rectangle of pixels: columns x .. x + w - 1, rows y .. y + h - 1.
struct Roi {
    int x = 0, y = 0, w = 0, h = 0;
};

// The default region: the central half of the width and of the height.
Roi centre_roi(int width, int height);

// `roi` cut to a width x height image; false when nothing of it is left.
bool clip_roi(Roi &roi, int width, int height);

struct Figures {
    int width = 0, height = 0;
    Roi roi;
    int frames = 0;        // frames in the temporal window
    int roi_pixels = 0;    // pixels of the region
    int valid_pixels = 0;  // of them, with a distance and a point
    double fill_rate = 0;  // valid_pixels / roi_pixels

    // The plane fitted by least squares to the region's points (at least
    // three, not all on one line). Distances are where the plane meets the
    // optical axis, which for a wall facing the camera is its distance.
    bool plane = false;
    double distance_m = NAN;
    double tilt_deg = NAN;    // angle between the plane's normal and the optical axis
    double tilt_x_deg = NAN;  // about the horizontal axis; positive: the lower part further away
    double tilt_y_deg = NAN;  // about the vertical axis; positive: the right part further away
    double rms_mm = NAN;      // RMS of the points' distances to the plane
    double rms_share = NAN;   // rms_mm as a share of distance_m, percent

    // The median over the region of each pixel's standard deviation of
    // distance over the frames of the window (pixels with a distance in at
    // least two of them); NaN before the second frame.
    double temporal_noise_mm = NAN;

    // With a true distance given: distance_m minus it.
    double truth_m = NAN;
    double error_mm = NAN;
    double error_share = NAN;  // percent of the true distance
};

// Collects frames of one image size and gives the figures of the last one
// with the noise of the window. Not thread-safe: one thread at a time.
class Analyzer {
  public:
    // `window`: the frames the temporal noise is taken over (2 to 1000).
    explicit Analyzer(int window = 30);

    // A region (clipped to the image; an empty one takes the default). A
    // change of region or of image size starts the window again.
    void set_roi(const Roi &roi) { want_roi_ = roi; }
    // The true distance in metres, NaN or <= 0 for none.
    void set_truth(double metres) { truth_m_ = metres; }
    void reset();

    // Adds a distance image (metres, codes of 60 and above for no
    // distance) and returns the figures. Points come from the library's
    // point cloud of `dev` with `cam` (null: the driver's lens). False
    // when the image cannot be used (bad size, no lens parameters).
    bool add(tarvo_dev_t *dev, const float *dist, int width, int height,
             const tarvo_camera_param_t *cam, Figures &out);

  private:
    void temporal(Figures &f) const;

    int window_;
    Roi want_roi_, roi_;
    int width_ = 0, height_ = 0;
    double truth_m_ = NAN;
    // The region's distances of the last frames, frame after frame
    // (NaN: no distance), in a ring of window_ slots.
    std::vector<float> ring_;
    int frames_ = 0, next_ = 0;
    std::vector<float> masked_, points_;
};

// The plane fit alone: `n` points (x, y, z) packed; false for fewer than
// three or a degenerate set. Fills the plane fields of `f`.
bool fit_plane(const float *xyz, size_t n, Figures &f);

}  // namespace tarvo_quality
