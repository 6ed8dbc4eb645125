// `kelvo models`: every model file the back-end catalogue expects, with the
// exact path it is looked for at and whether it is there.
#include <iostream>
#include <map>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "kelvo/cache_dir.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/json.hpp"

namespace kelvo::cli {

bool model_file_present(const ModelFile& file) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(file.path(), ec)) return true;
    return file.archive_member &&
           std::filesystem::is_regular_file(file.path().parent_path() / *file.archive_member, ec);
}

namespace {

/// One expected file and every variant that needs it.
struct Expected {
    ModelFile file;
    std::string backend;
    std::vector<std::string> variants;
};

int run_models(bool json) {
    std::vector<Expected> expected;
    std::map<std::string, std::size_t> by_path;
    for (const auto& cls : registered_inferences()) {
        for (const auto& v : cls->variants()) {
            for (const auto& f : v.files_to_download) {
                const std::string key = cls->key + "|" + f.path().string();
                const auto [it, added] = by_path.emplace(key, expected.size());
                if (added) expected.push_back({f, cls->key, {}});
                expected[it->second].variants.push_back(v.slug);
            }
        }
    }
    if (json) {
        Json list = Json::array();
        for (const auto& e : expected) {
            Json j;
            j["backend"] = e.backend;
            j["variants"] = e.variants;
            j["slug"] = e.file.slug;
            j["filename"] = e.file.filename;
            j["archive_member"] =
                e.file.archive_member ? Json(*e.file.archive_member) : Json(nullptr);
            j["path"] = e.file.path().string();
            j["present"] = model_file_present(e.file);
            list.push_back(std::move(j));
        }
        std::cout << list.dump(2) << "\n";
        return 0;
    }
    fmt::print("model files under {} (place each exported network at its path):\n",
               (get_cache_dir() / "models").string());
    std::int64_t present = 0;
    for (const auto& e : expected) {
        const bool here = model_file_present(e.file);
        present += here ? 1 : 0;
        fmt::print("  {:<8} {:<24} {}\n", here ? "present" : "missing", e.backend,
                   e.file.path().string());
        if (e.file.archive_member) {
            fmt::print("  {:<8} {:<24}   or the archive member {}\n", "", "",
                       (e.file.path().parent_path() / *e.file.archive_member).string());
        }
        fmt::print("  {:<8} {:<24}   for {}\n", "", "", fmt::join(e.variants, ", "));
    }
    fmt::print("{} of {} present\n", present, expected.size());
    return 0;
}

const bool models_registered = register_command({
    .name = "models",
    .summary = "list every model file the back-ends expect, with its exact path and status",
    .setup =
        [](CLI::App& app) {
            auto json = std::make_shared<bool>(false);
            app.add_flag("--json", *json,
                         "print a JSON list: backend, variants, slug, filename, archive_member, "
                         "path, present");
            return [json] { return run_models(*json); };
        },
});

}  // namespace
}  // namespace kelvo::cli
