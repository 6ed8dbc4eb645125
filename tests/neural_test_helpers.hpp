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

/// The keys of a JSON object in their stored order.
inline std::vector<std::string> keys_of(const Json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

}  // namespace kelvo::testing
