// The stages of the post-processing chain, each a function of its maps.
// Private to kelvo_core.
#pragma once

#include <opencv2/core.hpp>

namespace kelvo::detail {

/// Marks a pixel a hole when the right view, read where its disparity
/// points, disagrees by more than `tolerance` pixels, or when it points
/// outside the view; a right view without a value there keeps the pixel.
/// Writes the disagreement of the pixels kept (the tolerance where the right
/// view had none) into `disagreement` (CV_32F, 0 elsewhere).
void left_right_check(cv::Mat& disparity, const cv::Mat& right_view, float tolerance,
                      cv::Mat& disagreement);

/// Removes islands of at most `max_size` pixels whose values differ from
/// their neighbours' by more than `max_diff` at their border.
void remove_speckles(cv::Mat& disparity, int max_size, float max_diff);

/// 0..1 per pixel: the local agreement of the values (their spread over 3x3
/// against `spread_scale`, relative to the value itself for depth maps), the
/// share of the 3x3 that holds a value, the left-right agreement (when
/// given) and the distance to the nearest hole. 0 for a hole.
cv::Mat measured_confidence(const cv::Mat& map, const cv::Mat& disagreement, bool depth_map);

/// Edge-aware smoothing guided by `guide`, each value weighted by its
/// confidence: measured values are smoothed, holes whose surroundings carry
/// enough weight are filled (confidence `filled_confidence`).
void edge_aware_filter(cv::Mat& map, cv::Mat& confidence, const cv::Mat& guide, double lambda,
                       double sigma_colour, float filled_confidence);

/// Fills each run of holes along a row with the farther of the values
/// bounding it (the smaller disparity, or the larger depth). A bound is the
/// median of the first three values of a run of at least five; shorter runs
/// are not trusted as bounds and are filled over. Rows with no such run
/// keep their holes. Filled pixels get `filled_confidence`.
void fill_holes(cv::Mat& map, cv::Mat& confidence, bool depth_map, float filled_confidence);

}  // namespace kelvo::detail
