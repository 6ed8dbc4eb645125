#include "kelvo/writers/safe_output.hpp"

#include <fstream>
#include <regex>
#include <system_error>

#include <fmt/format.h>

#include "kelvo/errors.hpp"

namespace kelvo {

namespace fs = std::filesystem;

void refuse_same_file(const fs::path& input, const fs::path& output, std::string_view option) {
    std::error_code ec;
    if (fs::equivalent(input, output, ec)) {
        throw OutputRefused(
            fmt::format("kelvo: {} {} is the input recording {}; refusing to write "
                        "over it",
                        option, output.string(), input.string()));
    }
}

void refuse_existing_file(const fs::path& output, bool force, std::string_view option) {
    std::error_code ec;
    const auto status = fs::symlink_status(output, ec);
    if (ec || !fs::exists(status)) return;
    if (fs::is_directory(fs::status(output, ec))) {
        throw OutputRefused(
            fmt::format("kelvo: {} {} is a folder; give a file name", option, output.string()));
    }
    if (!force) {
        throw OutputRefused(
            fmt::format("kelvo: {} {} exists; add --force to replace it", option, output.string()));
    }
}

PendingFile::PendingFile(fs::path final_path)
    : _final(std::move(final_path)), _partial(_final.string() + std::string(PARTIAL_SUFFIX)) {}

PendingFile::~PendingFile() {
    if (!_done) discard();
}

void PendingFile::commit() {
    std::error_code ec;
    fs::rename(_partial, _final, ec);
    if (ec) {
        throw RuntimeError(fmt::format("cannot rename {} to {}: {}", _partial.string(),
                                       _final.string(), ec.message()));
    }
    _done = true;
}

void PendingFile::discard() {
    std::error_code ec;
    fs::remove(_partial, ec);
    _done = true;
}

void write_file_atomically(const fs::path& file, std::string_view bytes) {
    PendingFile pending(file);
    {
        std::ofstream out(pending.path(), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) throw RuntimeError("cannot write " + pending.path().string());
    }
    pending.commit();
}

bool is_kit_output_name(const std::string& name) {
    static const std::regex PATTERN(
        R"(((disparity|depth|left|right|rectified_left|rectified_right|cloud)_\d{6}\.(tiff|png|ply))"
        R"(|frame_\d{6}(_left|_right)?\.(tiff|png)|frames\.csv|run\.json|calibration\.(json|yaml)|report\.json)(\.partial)?)");
    return std::regex_match(name, PATTERN);
}

OutputFolder::OutputFolder(const fs::path& dir, bool force, std::string_view option) : _dir(dir) {
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec)) {
        throw OutputRefused(
            fmt::format("kelvo: {} {} exists and is not a folder", option, dir.string()));
    }
    if (!fs::exists(dir, ec)) {
        fs::create_directories(dir, ec);
        if (ec) {
            throw OutputRefused(
                fmt::format("kelvo: cannot create {} {}: {}", option, dir.string(), ec.message()));
        }
        _created = true;
        return;
    }
    if (fs::is_empty(dir, ec)) return;
    if (!force) {
        throw OutputRefused(
            fmt::format("kelvo: {} {} is not empty; add --force to replace the maps "
                        "of an earlier run there (other files are kept)",
                        option, dir.string()));
    }
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file() && is_kit_output_name(entry.path().filename().string())) {
            fs::remove(entry.path());
        }
    }
}

void OutputFolder::remove_if_unused() const {
    std::error_code ec;
    if (_created && fs::is_empty(_dir, ec)) fs::remove(_dir, ec);
}

}  // namespace kelvo
