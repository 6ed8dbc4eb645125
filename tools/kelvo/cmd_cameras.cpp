// `kelvo cameras`: the attached Kelvo cameras, as a table or as JSON.
#include <iostream>

#include <fmt/format.h>

#include "cli.hpp"
#include "kelvo/cameras.hpp"
#include "kelvo/json.hpp"

namespace kelvo::cli {
namespace {

int run_cameras(const Args& args) {
    const auto cameras = list_connected_kelvo_cameras();
    if (args.flag("--json")) {
        Json list = Json::array();
        for (const auto& camera : cameras) list.push_back(camera.to_dict());
        std::cout << list.dump(2) << "\n";
        return 0;
    }
    if (cameras.empty()) {
        fmt::print("no connected Kelvo cameras found\n");
        return 0;
    }
    fmt::print("{:<16} {:<20} {:<44} {}\n", "device", "serial", "product code", "default mode");
    for (const auto& camera : cameras) {
        fmt::print("{:<16} {:<20} {:<44} {}\n", camera.os_id,
                   camera.serial.empty() ? "-" : camera.serial, camera.sku,
                   camera.spec ? camera.spec->default_mode().slug() : "-");
    }
    return 0;
}

const bool registered = register_command({
    .name = "cameras",
    .usage = "cameras [--json]",
    .summary = "list the connected Kelvo cameras",
    .flag_options = {"--json"},
    .run = run_cameras,
});

}  // namespace
}  // namespace kelvo::cli
