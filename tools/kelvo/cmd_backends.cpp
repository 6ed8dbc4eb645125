// `kelvo backends`: the registered depth back-ends with their variants.
#include <iostream>

#include <fmt/format.h>

#include "cli.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/json.hpp"

namespace kelvo::cli {
namespace {

Json variant_json(const InferenceVariant& v) {
    Json j;
    j["slug"] = v.slug;
    j["label"] = v.label;
    j["inference_kwargs"] = v.inference_kwargs;
    Json files = Json::array();
    for (const auto& f : v.files_to_download) {
        Json file;
        file["slug"] = f.slug;
        file["filename"] = f.filename;
        if (f.archive_member) file["archive_member"] = *f.archive_member;
        files.push_back(std::move(file));
    }
    j["files_to_download"] = std::move(files);
    j["configurations"] = v.configurations;
    return j;
}

int run_backends(const Args& args) {
    const auto classes = registered_inferences();
    if (args.flag("--json")) {
        Json list = Json::array();
        for (const auto& cls : classes) {
            Json entry;
            entry["key"] = cls->key;
            entry["label"] = cls->label;
            entry["neural"] = cls->neural;
            Json variants = Json::array();
            for (const auto& v : cls->variants()) variants.push_back(variant_json(v));
            entry["variants"] = std::move(variants);
            list.push_back(std::move(entry));
        }
        std::cout << list.dump(2) << "\n";
        return 0;
    }
    for (const auto& cls : classes) {
        fmt::print("{}  {}{}\n", cls->key, cls->label, cls->neural ? "" : "  [not neural]");
        for (const auto& v : cls->variants()) {
            const Json& meta = v.configurations.contains("selector_meta")
                                   ? v.configurations["selector_meta"]
                                   : Json::object();
            fmt::print("    {:<28} {:<28} {}\n", v.slug, v.label,
                       meta.contains("summary") ? meta["summary"].get<std::string>() : "");
        }
        if (!cls->controls.empty()) {
            fmt::print("    controls:");
            for (const auto& c : cls->controls) fmt::print(" {}={}", c.name, c.default_value);
            fmt::print("\n");
        }
    }
    return 0;
}

const bool registered = register_command({
    .name = "backends",
    .usage = "backends [--json]",
    .summary = "list the registered depth back-ends and their variants",
    .flag_options = {"--json"},
    .run = run_backends,
});

}  // namespace
}  // namespace kelvo::cli
