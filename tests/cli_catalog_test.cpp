#include <gtest/gtest.h>

#include "kelvo/json.hpp"
#include "support/test_paths.hpp"

namespace kelvo {
namespace {

using testing::run_command;

TEST(CliCatalog, JsonOfBothFamilies) {
    std::string out;
    ASSERT_EQ(run_command(std::string(KELVO_CLI) + " catalog --json", &out), 0);
    const Json all = Json::parse(out);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all.begin().key(), "KELVO_CORVAN");
    const Json& corvan = all["KELVO_CORVAN"];
    EXPECT_EQ(corvan["skus"].size(), 48u);
    EXPECT_EQ(corvan["modes"].size(), 108u);
    EXPECT_EQ(corvan["controls"].size(), 13u);
    EXPECT_EQ(corvan["windows_controls"].size(), 12u);
    EXPECT_EQ(corvan["default_mode"], "1280x360@30-MJPG");
    EXPECT_EQ(all["KELVO_FENWA"]["skus"].size(), 10u);
    EXPECT_EQ(all["KELVO_FENWA"]["modes"], corvan["modes"]);

    const Json mode = corvan["modes"][5];
    EXPECT_EQ(mode.dump(), R"({"width":1280,"height":720,"fps":7.5,"fourcc":"MJPG","stereo":false,)"
                           R"("is_supported":true,"is_default":false,"slug":"1280x720@7.5-MJPG"})");
    EXPECT_EQ(
        corvan["controls"][0].dump(),
        R"({"name":"auto_exposure","label":"Auto exposure","kind":"enum","value_type":"int",)"
        R"("unit":null,"auto_companion":null,"updatable_by_auto":null,)"
        R"("enum_values":[[1,"Manual"],[3,"Aperture Priority"]],"default":3,"min":0,"max":3,"step":1})");
    EXPECT_EQ(corvan["controls"][10]["updatable_by_auto"], false);
}

TEST(CliCatalog, SkuSelectsOneFamilyAndUnknownCodesExitWithTwo) {
    std::string out;
    ASSERT_EQ(
        run_command(std::string(KELVO_CLI) + " catalog --sku STEREO-CAMERA-FENWA-WIDE-21 --json",
                    &out),
        0);
    const Json spec = Json::parse(out);
    EXPECT_EQ(spec["skus"][0], "STEREO-CAMERA-FENWA-REGULAR-21");
    EXPECT_EQ(run_command(std::string(KELVO_CLI) + " catalog --sku NOPE 2>&1", &out), 2);
    EXPECT_EQ(out, "unknown SKU: NOPE\n");
    EXPECT_EQ(run_command(std::string(KELVO_CLI) + " catalog --bogus 2>/dev/null", &out), 2);
    ASSERT_EQ(run_command(std::string(KELVO_CLI) + " catalog", &out), 0);
    EXPECT_NE(out.find("capture modes (108, 45 supported; default 1280x360@30-MJPG)"),
              std::string::npos);
    ASSERT_EQ(run_command(std::string(KELVO_CLI) + " --version", &out), 0);
    EXPECT_EQ(out.rfind("kelvo ", 0), 0u);
}

}  // namespace
}  // namespace kelvo
