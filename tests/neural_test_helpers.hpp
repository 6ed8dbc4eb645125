// Small readers for the back-end tests: blob shapes and elements, JSON keys.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/json.hpp"

namespace kelvo::testing {

inline std::vector<int> shape_of(const cv::Mat& m) {
    std::vector<int> s;
    for (int i = 0; i < m.dims; ++i) s.push_back(m.size[i]);
    return s;
}

/// Element (0, c, y, x) of a float NCHW blob.
inline float at4(const cv::Mat& blob, int c, int y, int x) {
    const int idx[4] = {0, c, y, x};
    return blob.at<float>(idx);
}

/// An array of `shape` whose flat element i is value(i), stored with element depth `depth`.
template <class Value>
cv::Mat patterned(const std::vector<int>& shape, int depth, Value value) {
    cv::Mat as_float(static_cast<int>(shape.size()), shape.data(), CV_32F);
    float* p = as_float.ptr<float>();
    for (std::size_t i = 0; i < as_float.total(); ++i) p[i] = value(i);
    cv::Mat raw;
    as_float.convertTo(raw, CV_MAKETYPE(depth, 1));
    return raw;
}

/// The leading h x w plane of a raw network output, as float.
inline cv::Mat leading_plane(const cv::Mat& raw, int h, int w) {
    const cv::Mat plane(h, w, CV_MAKETYPE(raw.depth(), 1), const_cast<uchar*>(raw.ptr()));
    cv::Mat out;
    plane.convertTo(out, CV_32F);
    return out;
}

/// The keys of a JSON object in their stored order.
inline std::vector<std::string> keys_of(const Json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

}  // namespace kelvo::testing
