// `kelvo catalog`: the camera catalogue as a table or as JSON.
#include <cstdio>
#include <iostream>

#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "kelvo/cameras/kelvo_corvan.hpp"
#include "kelvo/cameras/kelvo_fenwa.hpp"
#include "kelvo/json.hpp"

namespace kelvo::cli {
namespace {

std::string text_or_dash(const std::optional<std::string>& value) {
    return value.value_or("-");
}

void print_table(const std::string& name, const CameraSpec& spec) {
    fmt::print("{}\n  product codes ({}):\n", name, spec.skus->size());
    for (const auto& sku : *spec.skus) fmt::print("    {}\n", sku);
    int supported = 0;
    for (const auto& m : *spec.modes) supported += m.is_supported ? 1 : 0;
    fmt::print("  capture modes ({}, {} supported; default {}):\n", spec.modes->size(), supported,
               spec.default_mode().slug());
    for (const auto& m : *spec.modes) {
        fmt::print("    {:<22} {:<6} {}{}\n", m.slug(), m.stereo ? "stereo" : "mono",
                   m.is_supported ? "supported" : "unsupported", m.is_default ? "  (default)" : "");
    }
    auto controls = [](const char* title, const CameraControlList& table) {
        fmt::print("  {} ({}):\n", title, table.size());
        fmt::print("    {:<24} {:<26} {:<8} {:>8} {:>8} {:>8} {:<8} {}\n", "name", "label", "kind",
                   "default", "min", "max", "unit", "auto");
        for (const auto& c : table) {
            fmt::print("    {:<24} {:<26} {:<8} {:>8} {:>8} {:>8} {:<8} {}\n", c.name, c.label,
                       c.kind, c.default_value, c.min, c.max, text_or_dash(c.unit),
                       text_or_dash(c.auto_companion));
        }
    };
    controls("controls (V4L2)", *spec.controls);
    controls("controls (Windows)", *spec.windows_controls);
}

struct CatalogArgs {
    std::string sku;
    bool json = false;
};

int run_catalog(const CatalogArgs& args) {
    const std::pair<const char*, const CameraSpec*> entries[] = {{"KELVO_CORVAN", &KELVO_CORVAN},
                                                                 {"KELVO_FENWA", &KELVO_FENWA}};
    if (!args.sku.empty()) {
        for (const auto& [name, spec] : entries) {
            if (!spec->has_sku(args.sku)) continue;
            if (args.json) {
                std::cout << spec->to_json().dump(2) << "\n";
            } else {
                print_table(name, *spec);
            }
            return 0;
        }
        throw ExitError(EXIT_USAGE, "unknown SKU: " + args.sku);
    }
    if (args.json) {
        Json all = Json::object();
        for (const auto& [name, spec] : entries) all[name] = spec->to_json();
        std::cout << all.dump(2) << "\n";
        return 0;
    }
    for (const auto& [name, spec] : entries) print_table(name, *spec);
    return 0;
}

const bool catalog_registered = register_command({
    .name = "catalog",
    .summary = "print the camera catalogue: product codes, capture modes, controls",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<CatalogArgs>();
            app.add_option("--sku", args->sku,
                           "only the family holding this product code (an unknown code exits "
                           "with status 2)")
                ->type_name("SKU");
            app.add_flag("--json", args->json,
                         "print JSON: {\"KELVO_CORVAN\": {...}, \"KELVO_FENWA\": {...}}, or "
                         "the one family with --sku");
            return [args] { return run_catalog(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
