// Rendering of the synthetic plane scene and disparity scoring.
#include "kelvo/pipeline/synthetic_scene.hpp"

#include <cmath>
#include <mutex>
#include <utility>

#include <opencv2/imgproc.hpp>

namespace kelvo::detail {
namespace {

constexpr int TEXTURE_MARGIN = 256;  ///< texture columns beyond the image on each side

// Multi-scale noise: fine grain for the matcher, coarse blotches so the
// image looks like a surface and compresses reasonably.
cv::Mat make_texture(int height, int width, std::uint32_t seed) {
    cv::RNG rng(seed);
    cv::Mat fine(height, width, CV_32F), coarse(height / 8 + 1, width / 8 + 1, CV_32F);
    rng.fill(fine, cv::RNG::UNIFORM, 0.0, 1.0);
    rng.fill(coarse, cv::RNG::UNIFORM, 0.0, 1.0);
    cv::GaussianBlur(fine, fine, cv::Size(0, 0), 0.8);
    cv::Mat coarse_up;
    cv::resize(coarse, coarse_up, fine.size(), 0, 0, cv::INTER_CUBIC);
    cv::Mat texture = 0.6 * fine + 0.4 * coarse_up;
    cv::normalize(texture, texture, 20.0, 235.0, cv::NORM_MINMAX);
    return texture;
}

float sample(const cv::Mat& texture, double x, int y) {
    const int x0 = static_cast<int>(std::floor(x));
    const double f = x - x0;
    const float* row = texture.ptr<float>(y);
    const int a = std::clamp(x0, 0, texture.cols - 1);
    const int b = std::clamp(x0 + 1, 0, texture.cols - 1);
    return static_cast<float>((1.0 - f) * row[a] + f * row[b]);
}

}  // namespace

/// Textures by seed at one eye size; thread-safe, as copies of a scene share it.
class SyntheticTextureCache {
  public:
    /// The texture of `seed` for eyes of `eye_size`, made on first use.
    cv::Mat get(HeightWidth eye_size, std::uint32_t seed) {
        std::lock_guard lock(_mutex);
        if (_eye_size != eye_size) {
            _eye_size = eye_size;
            _by_seed.clear();
        }
        for (const auto& [known, texture] : _by_seed) {
            if (known == seed) return texture;
        }
        cv::Mat texture = make_texture(eye_size.height, eye_size.width + 2 * TEXTURE_MARGIN, seed);
        _by_seed.emplace_back(seed, texture);
        return texture;
    }

  private:
    std::mutex _mutex;
    HeightWidth _eye_size;
    std::vector<std::pair<std::uint32_t, cv::Mat>> _by_seed;
};

std::shared_ptr<SyntheticTextureCache> make_synthetic_texture_cache() {
    return std::make_shared<SyntheticTextureCache>();
}

SyntheticScene default_synthetic_scene(HeightWidth eye_size) {
    SyntheticScene scene;
    scene.eye_size = eye_size;
    scene.focal_px = 500.0 * eye_size.width / 640.0;
    const double w = eye_size.width / 640.0, h = eye_size.height / 360.0;
    auto rect = [&](double x, double y, double rw, double rh) {
        return cv::Rect(static_cast<int>(x * w), static_cast<int>(y * h), static_cast<int>(rw * w),
                        static_cast<int>(rh * h));
    };
    scene.planes = {
        {rect(0, 0, 640, 360), 2.5, 0, 11, {0.9, 1.0, 1.0}},
        {rect(150, 60, 260, 200), 1.25, 1, 23, {1.0, 0.85, 0.8}},
        {rect(380, 150, 180, 150), 0.8, -1, 37, {0.8, 1.0, 0.85}},
        {rect(230, 200, 110, 110), 0.5, 2, 41, {0.85, 0.85, 1.0}},
    };
    return scene;
}

SyntheticFrame render_synthetic_frame(const SyntheticScene& scene, int index) {
    const int H = scene.eye_size.height, W = scene.eye_size.width;
    SyntheticFrame out;
    // Black where no plane is seen (the right eye's last columns see past the
    // background), never whatever the allocator left there.
    cv::Mat left(H, W, CV_8UC3, cv::Scalar::all(0)), right(H, W, CV_8UC3, cv::Scalar::all(0));
    out.disparity = cv::Mat(H, W, CV_32F, cv::Scalar(0));
    cv::Mat owner_left(H, W, CV_32S, cv::Scalar(-1)), owner_right(H, W, CV_32S, cv::Scalar(-1));

    // A scene whose cache was dropped still renders, only without reuse.
    const std::shared_ptr<SyntheticTextureCache> cache =
        scene.textures ? scene.textures : make_synthetic_texture_cache();
    std::vector<cv::Mat> textures;
    for (const auto& plane : scene.planes)
        textures.push_back(cache->get(scene.eye_size, plane.seed));
    // Back to front: nearer planes paint over farther ones in both eyes.
    for (std::size_t i = 0; i < scene.planes.size(); ++i) {
        const SyntheticPlane& p = scene.planes[i];
        const double d = scene.disparity_of(p);
        const int shift = p.shift_px_per_frame * index;
        const double x0 = p.rect.x + shift, x1 = p.rect.x + p.rect.width + shift;
        const int y0 = std::max(0, p.rect.y), y1 = std::min(H, p.rect.y + p.rect.height);
        const cv::Mat& tex = textures[i];
        for (int y = y0; y < y1; ++y) {
            for (int x = 0; x < W; ++x) {
                // A point at left-image column u shows texture column u - shift,
                // so the texture moves with the plane.
                if (x >= x0 && x < x1) {
                    const float v = sample(tex, x - shift + TEXTURE_MARGIN, y);
                    auto& px = left.at<cv::Vec3b>(y, x);
                    for (int c = 0; c < 3; ++c) px[c] = cv::saturate_cast<uchar>(v * p.tint[c]);
                    out.disparity.at<float>(y, x) = static_cast<float>(d);
                    owner_left.at<int>(y, x) = static_cast<int>(i);
                }
                // The right camera sees at column x what the left sees at x + d.
                const double u = x + d;
                if (u >= x0 && u < x1) {
                    const float v = sample(tex, u - shift + TEXTURE_MARGIN, y);
                    auto& px = right.at<cv::Vec3b>(y, x);
                    for (int c = 0; c < 3; ++c) px[c] = cv::saturate_cast<uchar>(v * p.tint[c]);
                    owner_right.at<int>(y, x) = static_cast<int>(i);
                }
            }
        }
    }
    out.visible = cv::Mat(H, W, CV_8U, cv::Scalar(0));
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const int owner = owner_left.at<int>(y, x);
            const double xr = x - out.disparity.at<float>(y, x);
            const int xi = static_cast<int>(std::lround(xr));
            if (owner >= 0 && xr >= 0 && xi < W && owner_right.at<int>(y, xi) == owner) {
                out.visible.at<uchar>(y, x) = 255;
            }
        }
    }
    out.left = left;
    out.right = right;
    cv::hconcat(left, right, out.side_by_side);
    return out;
}

Json synthetic_calibration_dict(const SyntheticScene& scene) {
    const double f = scene.focal_px;
    const double cx = (scene.eye_size.width - 1) / 2.0, cy = (scene.eye_size.height - 1) / 2.0;
    const Calibration::Camera camera{cv::Matx33d(f, 0.0, cx, 0.0, f, cy, 0.0, 0.0, 1.0),
                                     std::vector<double>(5, 0.0)};
    return Calibration(scene.eye_size, camera, camera, cv::Matx33d::eye(),
                       cv::Vec3d(-scene.baseline_m, 0.0, 0.0))
        .to_dict();
}

DisparityScore score_disparity(const cv::Mat& estimate, const cv::Mat& truth, const cv::Mat& mask) {
    CV_Assert(estimate.type() == CV_32F && truth.type() == CV_32F &&
              estimate.size() == truth.size());
    CV_Assert(mask.empty() || (mask.type() == CV_8U && mask.size() == truth.size()));
    DisparityScore score;
    double error_sum = 0, hole_error_sum = 0;
    std::int64_t bad = 0;
    for (int y = 0; y < truth.rows; ++y) {
        const float* e = estimate.ptr<float>(y);
        const float* t = truth.ptr<float>(y);
        const uchar* m = mask.empty() ? nullptr : mask.ptr<uchar>(y);
        for (int x = 0; x < truth.cols; ++x) {
            if (m && !m[x]) continue;
            ++score.considered;
            if (!std::isfinite(e[x])) {
                hole_error_sum += std::fabs(static_cast<double>(t[x]));
                continue;
            }
            ++score.valid;
            const double err = std::fabs(static_cast<double>(e[x]) - t[x]);
            error_sum += err;
            if (err > 2.0) ++bad;
        }
    }
    if (score.valid > 0) {
        score.end_point_error = error_sum / static_cast<double>(score.valid);
        score.bad_2px = static_cast<double>(bad) / static_cast<double>(score.valid);
    }
    if (score.considered > 0) {
        const auto considered = static_cast<double>(score.considered);
        score.valid_share = static_cast<double>(score.valid) / considered;
        score.end_point_error_all = (error_sum + hole_error_sum) / considered;
        score.wrong_2px_all =
            static_cast<double>(bad + score.considered - score.valid) / considered;
    }
    return score;
}

}  // namespace kelvo::detail
