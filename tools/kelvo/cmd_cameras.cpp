// `kelvo cameras`: the attached Kelvo cameras, as a table or as JSON.
#include <iostream>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "kelvo/cameras.hpp"
#include "kelvo/json.hpp"

namespace kelvo::cli {

/// The table `kelvo cameras` prints (also shown by `kelvo record` when it
/// cannot pick a camera by itself).
void print_camera_table(const std::vector<KelvoCameraInfo>& cameras, std::FILE* out) {
    fmt::print(out, "{:<16} {:<20} {:<44} {}\n", "device", "serial", "product code",
               "default mode");
    for (const auto& camera : cameras) {
        fmt::print(out, "{:<16} {:<20} {:<44} {}\n", camera.os_id,
                   camera.serial.empty() ? "-" : camera.serial, camera.sku,
                   camera.spec ? camera.spec->default_mode().slug() : "-");
    }
}

namespace {

int run_cameras(bool json) {
    const auto cameras = list_connected_kelvo_cameras();
    if (json) {
        Json list = Json::array();
        for (const auto& camera : cameras) list.push_back(camera.to_dict());
        std::cout << list.dump(2) << "\n";
        return 0;
    }
    if (cameras.empty()) {
        fmt::print("no connected Kelvo cameras found\n");
        return 0;
    }
    print_camera_table(cameras, stdout);
    return 0;
}

const bool cameras_registered = register_command({
    .name = "cameras",
    .summary = "list the connected Kelvo cameras",
    .setup =
        [](CLI::App& app) {
            auto json = std::make_shared<bool>(false);
            app.add_flag("--json", *json,
                         "print a JSON list of the cameras' camera_info records ([] when none)");
            return [json] { return run_cameras(*json); };
        },
});

}  // namespace
}  // namespace kelvo::cli
