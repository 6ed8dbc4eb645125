#include "kelvo/writers/run_files.hpp"

#include "kelvo/errors.hpp"
#include "kelvo/pipeline/pipeline.hpp"

namespace kelvo {

FramesCsv::FramesCsv(const std::filesystem::path& dir, const std::vector<std::string>& columns)
    : _file(dir / "frames.csv"), _out(_file.path(), std::ios::trunc) {
    row(columns);
}

void FramesCsv::row(const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i) line += ',';
        line += cells[i];
    }
    _out << line << '\n' << std::flush;
    if (!_out) throw RuntimeError("cannot write " + _file.path().string());
}

void FramesCsv::commit() {
    _out.close();
    if (!_out) throw RuntimeError("cannot write " + _file.path().string());
    _file.commit();
}

Json run_json(const std::string& command, const std::filesystem::path& recording,
              const Pipeline& pipeline, const CalibrationNames& calibrations,
              const RunRange& range) {
    Json controls = Json::object();
    for (const auto& c : pipeline.inference_controls()) {
        controls[c.name] = pipeline.inference_control(c.name);
    }
    Json j;
    j["kelvo_version"] = KELVO_VERSION;
    j["command"] = command;
    j["recording"] = std::filesystem::absolute(recording).string();
    j["backend"] = pipeline.backend_key();
    j["variant"] = pipeline.variant().slug;
    j["controls"] = std::move(controls);
    j["range"] = Json{{"start", range.start.empty() ? Json(nullptr) : Json(range.start)},
                      {"end", range.end.empty() ? Json(nullptr) : Json(range.end)},
                      {"every", range.every},
                      {"max_frames", range.max_frames}};
    j["calibrations"] = calibrations.table();
    return j;
}

void FramesCsv::discard() {
    _out.close();
    _file.discard();
}

long long file_index(const std::optional<std::int64_t>& source_frame_idx, std::int64_t sequence) {
    return source_frame_idx ? *source_frame_idx : sequence - 1;
}

}  // namespace kelvo
