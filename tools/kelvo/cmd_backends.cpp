// `kelvo backends`: the registered depth back-ends with their default
// variant, their variants, whether each variant's model files are in place,
// and their runtime controls.
#include <iostream>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/json.hpp"
#include "kelvo/pipeline/post_chain.hpp"

namespace kelvo::cli {
namespace {

bool files_present(const InferenceVariant& v) {
    for (const auto& f : v.files_to_download) {
        if (!model_file_present(f)) return false;
    }
    return true;
}

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
    j["models_present"] = files_present(v);
    j["configurations"] = v.configurations;
    return j;
}

std::string control_text(const IntControl& c) {
    if (c.kind == "enum" && c.enum_values) {
        std::vector<std::string> values;
        for (const auto& [value, name] : *c.enum_values) {
            values.push_back(fmt::format("{}={}", static_cast<long long>(value), name));
        }
        return fmt::format("{}={} ({})", c.name, c.default_value, fmt::join(values, ", "));
    }
    std::string range;
    if (c.min && c.max) range = fmt::format("{}..{}", *c.min, *c.max);
    if (c.step && *c.step != 1) range += fmt::format(" step {}", *c.step);
    if (c.unit) range += " " + *c.unit;
    return range.empty() ? fmt::format("{}={}", c.name, c.default_value)
                         : fmt::format("{}={} ({})", c.name, c.default_value, range);
}

/// What the chain after `cls` can do; none for a back-end without a map.
std::optional<PostChainTraits> chain_traits(const InferenceClass& cls) {
    PostChainTraits traits{
        .backend = cls.key, .depth_map = cls.kind == InferenceKind::mono, .right_view = false};
    if (!cls.neural) {
        // Network-free back-ends are cheap to build: the instance tells.
        const auto instance = cls.create(cls.variant(""), {});
        if (!instance || instance->is_passthrough()) return std::nullopt;
        traits.right_view = instance->gives_right_view();
    }
    return traits;
}

int run_backends(bool json) {
    const auto classes = registered_inferences();
    if (json) {
        Json list = Json::array();
        for (const auto& cls : classes) {
            Json entry;
            entry["key"] = cls->key;
            entry["label"] = cls->label;
            entry["neural"] = cls->neural;
            entry["default_variant"] = cls->variant("").slug;
            Json variants = Json::array();
            for (const auto& v : cls->variants()) variants.push_back(variant_json(v));
            entry["variants"] = std::move(variants);
            Json post = Json::array();
            if (const auto traits = chain_traits(*cls)) {
                for (const auto& c : PostChain::CONTROLS(*traits)) post.push_back(c.to_json());
            }
            entry["post_controls"] = std::move(post);
            list.push_back(std::move(entry));
        }
        std::cout << list.dump(2) << "\n";
        return 0;
    }
    for (const auto& cls : classes) {
        fmt::print("{}  {}{}\n", cls->key, cls->label, cls->neural ? "" : "  [not neural]");
        fmt::print("    default variant: {}\n", cls->variant("").slug);
        for (const auto& v : cls->variants()) {
            const Json& meta = v.configurations.contains("selector_meta")
                                   ? v.configurations["selector_meta"]
                                   : Json::object();
            const char* status = v.files_to_download.empty() ? "no model file"
                                 : files_present(v)          ? "model present"
                                                             : "model missing";
            fmt::print("    {:<28} {:<28} {:<14} {}\n", v.slug, v.label, status,
                       meta.contains("summary") ? meta["summary"].get<std::string>() : "");
        }
        if (!cls->controls.empty()) {
            fmt::print("    controls (--set NAME=VALUE; default, range):\n");
            for (const auto& c : cls->controls) fmt::print("      {}\n", control_text(c));
        }
    }
    fmt::print(
        "\npost-processing chain after every back-end with a map, in this order (--set "
        "NAME=VALUE; default, range):\n"
        "  left-right check, speckle removal, edge-aware filter, temporal filter, hole filling;\n"
        "  a stage the back-end cannot feed is off by default and refused when set: the "
        "left-right check\n  needs a right view (the classical matchers), speckle removal a "
        "disparity map\n");
    for (const auto& c : PostChain::CONTROLS({.right_view = true})) {
        fmt::print("    {}\n", control_text(c));
    }
    return 0;
}

const bool backends_registered = register_command({
    .name = "backends",
    .summary = "list the depth back-ends: variants, default variant, model files, controls",
    .setup =
        [](CLI::App& app) {
            auto json = std::make_shared<bool>(false);
            app.add_flag("--json", *json,
                         "print JSON: per back-end its key, label, neural, default_variant, "
                         "variants (with models_present) and post_controls (the chain's "
                         "controls with their defaults for that back-end)");
            return [json] { return run_backends(*json); };
        },
});

}  // namespace
}  // namespace kelvo::cli
