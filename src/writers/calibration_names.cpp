#include "kelvo/writers/calibration_names.hpp"

#include <exception>

#include <fmt/format.h>

#include "kelvo/calibration.hpp"

namespace kelvo {

CalibrationNames::CalibrationNames(const MkvReplay& replay)
    : _history(replay.calibration_history()) {
    if (const auto base = replay.base_calibration()) _base = base->to_dict();
    std::int64_t previous = -1;
    for (std::size_t i = 0; i < _history.size(); ++i) {
        bool builds = false;
        try {
            builds = Calibration::from_dict(_history[i].second) != nullptr;
        } catch (const std::exception&) {
            builds = false;
        }
        if (builds) previous = static_cast<std::int64_t>(i);
        _effective.push_back(previous);
    }
}

std::string CalibrationNames::at(std::int64_t pts_us, bool rectified) const {
    if (!rectified) return "none";
    std::int64_t entry = -1;
    for (std::size_t i = 0; i < _history.size() && _history[i].first <= pts_us; ++i) {
        entry = _effective[i];
    }
    return entry < 0 ? "factory" : fmt::format("update:{}", entry);
}

Json CalibrationNames::table() const {
    Json out = Json::object();
    if (!_base.is_null()) out["factory"] = Json{{"rel_us", nullptr}, {"calibration", _base}};
    for (std::size_t i = 0; i < _history.size(); ++i) {
        if (_effective[i] != static_cast<std::int64_t>(i)) continue;
        out[fmt::format("update:{}", i)] =
            Json{{"rel_us", _history[i].first}, {"calibration", _history[i].second}};
    }
    return out;
}

}  // namespace kelvo
