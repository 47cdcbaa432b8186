// Depth-quality figures: plane fit, residuals, fill rate, temporal noise.
#include "quality.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace tarvo_quality {

namespace {

constexpr double k_pi = 3.14159265358979323846;

double deg(double rad) {
    return rad * 180.0 / k_pi;
}

bool has_distance(float d) {
    return d > 0.0f && d < 60.0f;
}

using Mat3 = std::array<std::array<double, 3>, 3>;

// Eigenvalues (ascending) and eigenvectors (columns) of a symmetric 3 x 3
// matrix, by Jacobi rotations.
void eigen_sym(Mat3 a, std::array<double, 3> &val, Mat3 &vec) {
    vec = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    for (int sweep = 0; sweep < 50; ++sweep) {
        const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
        if (off < 1e-30) break;
        for (int p = 0; p < 2; ++p)
            for (int q = p + 1; q < 3; ++q) {
                if (a[p][q] == 0.0) continue;
                const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
                const double t =
                    (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (int k = 0; k < 3; ++k) {  // a = a * J
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < 3; ++k) {  // a = J^T * a
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                for (int k = 0; k < 3; ++k) {
                    const double vkp = vec[k][p], vkq = vec[k][q];
                    vec[k][p] = c * vkp - s * vkq;
                    vec[k][q] = s * vkp + c * vkq;
                }
            }
    }
    std::array<int, 3> order{0, 1, 2};
    std::sort(order.begin(), order.end(), [&](int i, int j) { return a[i][i] < a[j][j]; });
    Mat3 sorted{};
    for (int c = 0; c < 3; ++c) {
        val[c] = a[order[c]][order[c]];
        for (int k = 0; k < 3; ++k) sorted[k][c] = vec[k][order[c]];
    }
    vec = sorted;
}

double median(std::vector<double> &v) {
    if (v.empty()) return NAN;
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + mid, v.end());
    double m = v[mid];
    if (v.size() % 2 == 0) m = (m + *std::max_element(v.begin(), v.begin() + mid)) / 2.0;
    return m;
}

}  // namespace

Roi centre_roi(int width, int height) {
    Roi r;
    r.w = std::max(1, width / 2);
    r.h = std::max(1, height / 2);
    r.x = (width - r.w) / 2;
    r.y = (height - r.h) / 2;
    return r;
}

bool clip_roi(Roi &r, int width, int height) {
    const long x0 = std::max(0, r.x), y0 = std::max(0, r.y);
    const long x1 = std::min<long>(width, static_cast<long>(r.x) + r.w);
    const long y1 = std::min<long>(height, static_cast<long>(r.y) + r.h);
    if (x1 <= x0 || y1 <= y0) return false;
    r = {static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
         static_cast<int>(y1 - y0)};
    return true;
}

bool fit_plane(const float *xyz, size_t n, Figures &f) {
    f.plane = false;
    double c[3] = {0, 0, 0};
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        const float *p = xyz + 3 * i;
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) continue;
        for (int k = 0; k < 3; ++k) c[k] += p[k];
        ++used;
    }
    if (used < 3) return false;
    for (double &v : c) v /= static_cast<double>(used);
    Mat3 cov{};
    for (size_t i = 0; i < n; ++i) {
        const float *p = xyz + 3 * i;
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) continue;
        const double d[3] = {p[0] - c[0], p[1] - c[1], p[2] - c[2]};
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 3; ++k) cov[r][k] += d[r] * d[k];
    }
    for (auto &row : cov)
        for (double &v : row) v /= static_cast<double>(used);
    std::array<double, 3> val{};
    Mat3 vec{};
    eigen_sym(cov, val, vec);
    // Points along one line (or one point) span no plane.
    if (!(val[1] > 1e-12 * std::max(1.0, val[2]))) return false;
    double nx = vec[0][0], ny = vec[1][0], nz = vec[2][0];
    if (nz < 0) {
        nx = -nx;
        ny = -ny;
        nz = -nz;
    }
    double sq = 0;
    for (size_t i = 0; i < n; ++i) {
        const float *p = xyz + 3 * i;
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) continue;
        const double r = nx * (p[0] - c[0]) + ny * (p[1] - c[1]) + nz * (p[2] - c[2]);
        sq += r * r;
    }
    f.plane = true;
    f.rms_mm = std::sqrt(sq / static_cast<double>(used)) * 1000.0;
    f.tilt_deg = deg(std::acos(std::min(1.0, nz)));
    f.tilt_x_deg = deg(std::atan2(-ny, nz));
    f.tilt_y_deg = deg(std::atan2(-nx, nz));
    // Where the plane meets the optical axis; a plane along the axis
    // meets it nowhere.
    f.distance_m = nz > 1e-9 ? (nx * c[0] + ny * c[1] + nz * c[2]) / nz : NAN;
    f.rms_share = f.distance_m > 0 ? f.rms_mm / (f.distance_m * 1000.0) * 100.0 : NAN;
    return true;
}

Analyzer::Analyzer(int window) : window_(std::clamp(window, 2, 1000)) {}

void Analyzer::reset() {
    frames_ = 0;
    next_ = 0;
    ring_.clear();
}

void Analyzer::temporal(Figures &f) const {
    const int frames = std::min(frames_, window_);
    if (frames < 2) return;
    const size_t px = static_cast<size_t>(roi_.w) * roi_.h;
    std::vector<double> sd;
    sd.reserve(px);
    for (size_t i = 0; i < px; ++i) {
        double sum = 0, sum2 = 0;
        int n = 0;
        for (int k = 0; k < frames; ++k) {
            const float d = ring_[static_cast<size_t>(k) * px + i];
            if (std::isnan(d)) continue;
            sum += d;
            ++n;
        }
        if (n < 2) continue;
        const double mean = sum / n;
        for (int k = 0; k < frames; ++k) {
            const float d = ring_[static_cast<size_t>(k) * px + i];
            if (!std::isnan(d)) sum2 += (d - mean) * (d - mean);
        }
        sd.push_back(std::sqrt(sum2 / (n - 1)) * 1000.0);
    }
    f.temporal_noise_mm = median(sd);
}

bool Analyzer::add(tarvo_dev_t *dev, const float *dist, int width, int height,
                   const tarvo_camera_param_t *cam, Figures &out) {
    out = Figures{};
    if (!dist || width <= 0 || height <= 0 || width > 8192 || height > 8192) return false;
    Roi roi = want_roi_;
    if (roi.w <= 0 || roi.h <= 0 || !clip_roi(roi, width, height)) roi = centre_roi(width, height);
    if (width != width_ || height != height_ || roi.x != roi_.x || roi.y != roi_.y ||
        roi.w != roi_.w || roi.h != roi_.h) {
        width_ = width;
        height_ = height;
        roi_ = roi;
        reset();
    }
    const size_t px = static_cast<size_t>(roi_.w) * roi_.h;
    if (ring_.empty()) ring_.assign(px * static_cast<size_t>(window_), NAN);

    // The region alone, every other pixel without a distance, so the
    // library's cloud holds the region's points only.
    const size_t all = static_cast<size_t>(width) * height;
    masked_.assign(all, 0.0f);
    float *slot = &ring_[static_cast<size_t>(next_) * px];
    int count = 0;  // the region's pixels with a distance
    for (int v = 0; v < roi_.h; ++v)
        for (int u = 0; u < roi_.w; ++u) {
            const size_t at = static_cast<size_t>(roi_.y + v) * width + roi_.x + u;
            const float d = dist[at];
            masked_[at] = d;
            count += has_distance(d);
            slot[static_cast<size_t>(v) * roi_.w + u] = has_distance(d) ? d : NAN;
        }
    tarvo_camera_param_t unit{};
    if (cam) {
        unit = *cam;
        unit.dist_scale = 1.0f;
    }
    points_.resize(3 * px);
    const int n =
        tarvo_frame_get_pcl(dev, points_.data(), static_cast<int>(points_.size()), masked_.data(),
                            static_cast<int>(all), width, height, cam ? &unit : nullptr);
    // A region with distances but no points: the lens is unknown.
    if (n == 0 && count > 0) return false;
    next_ = (next_ + 1) % window_;
    ++frames_;

    out.width = width;
    out.height = height;
    out.roi = roi_;
    out.frames = std::min(frames_, window_);
    out.roi_pixels = static_cast<int>(px);
    int valid = 0;
    for (int i = 0; i < n; ++i) {
        const float *p = &points_[3 * static_cast<size_t>(i)];
        valid += std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
    }
    out.valid_pixels = valid;
    out.fill_rate = static_cast<double>(valid) / static_cast<double>(px);
    fit_plane(points_.data(), static_cast<size_t>(n), out);
    temporal(out);
    if (truth_m_ > 0 && std::isfinite(out.distance_m)) {
        out.truth_m = truth_m_;
        out.error_mm = (out.distance_m - truth_m_) * 1000.0;
        out.error_share = (out.distance_m - truth_m_) / truth_m_ * 100.0;
    } else if (truth_m_ > 0) {
        out.truth_m = truth_m_;
    }
    return true;
}

}  // namespace tarvo_quality
