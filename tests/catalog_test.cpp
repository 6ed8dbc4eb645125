#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "kelvo/cameras/kelvo_corvan.hpp"
#include "kelvo/cameras/kelvo_fenwa.hpp"

namespace kelvo {
namespace {

TEST(Catalogue, CorvanProductCodesInLoopOrder) {
    const auto& skus = *KELVO_CORVAN.skus;
    ASSERT_EQ(skus.size(), 48u);
    EXPECT_EQ(std::set<std::string>(skus.begin(), skus.end()).size(), 48u);
    EXPECT_EQ(skus[0], "STEREO-CAMERA-CORVAN-ULTRA-SHORT-NARROW-21");
    EXPECT_EQ(skus[5], "STEREO-CAMERA-CORVAN-ULTRA-SHORT-ULTRA-FISHEYE-21");
    EXPECT_EQ(skus[6], "STEREO-CAMERA-CORVAN-SHORT-NARROW-21");
    EXPECT_EQ(skus[24], "STEREO-CAMERA-MODULE-CORVAN-ULTRA-SHORT-NARROW-21");
    EXPECT_EQ(skus[47], "STEREO-CAMERA-MODULE-CORVAN-LONG-ULTRA-FISHEYE-21");
    EXPECT_TRUE(KELVO_CORVAN.has_sku("STEREO-CAMERA-CORVAN-REGULAR-WIDE-21"));
    EXPECT_TRUE(KELVO_CORVAN.has_sku("STEREO-CAMERA-MODULE-CORVAN-LONG-FISHEYE-21"));
    EXPECT_FALSE(KELVO_CORVAN.has_sku("STEREO-CAMERA-CORVAN-REGULAR-WIDE"));
    EXPECT_FALSE(KELVO_CORVAN.has_sku("stereo-camera-corvan-regular-wide-21"));
}

TEST(Catalogue, CorvanModes) {
    const auto& modes = *KELVO_CORVAN.modes;
    ASSERT_EQ(modes.size(), 108u);
    EXPECT_EQ(std::count_if(modes.begin(), modes.end(), [](auto& m) { return m.is_supported; }),
              45);
    EXPECT_EQ(std::count_if(modes.begin(), modes.end(),
                            [](auto& m) { return m.is_supported && m.fourcc == "MJPG"; }),
              28);
    EXPECT_EQ(std::count_if(modes.begin(), modes.end(), [](auto& m) { return m.fourcc == "MJPG"; }),
              63);
    ASSERT_EQ(std::count_if(modes.begin(), modes.end(), [](auto& m) { return m.is_default; }), 1);
    EXPECT_TRUE(modes[56].is_default);
    const auto& d = KELVO_CORVAN.default_mode();
    EXPECT_EQ(d, CaptureMode(1280, 360, 30, "MJPG", true, true, true));
    EXPECT_EQ(d.slug(), "1280x360@30-MJPG");
    for (const auto& m : modes) {
        if (m.width == 640 && m.height == 480) {
            EXPECT_FALSE(m.is_supported);
        }
        if (m.width == 2560 && m.fourcc == "YUYV") {
            EXPECT_EQ(m.fps, 5);
        }
        EXPECT_EQ(KELVO_CORVAN.mode_by_slug(m.slug()), m);
    }
    EXPECT_EQ(modes[5].slug(), "1280x720@7.5-MJPG");
    EXPECT_EQ(modes[63].slug(), "1280x720@10-YUYV");
    EXPECT_EQ(modes.back().slug(), "1280x360@5-YUYV");
}

TEST(Catalogue, CorvanControlTables) {
    const auto& v4l2 = *KELVO_CORVAN.controls;
    ASSERT_EQ(v4l2.size(), 13u);
    const char* names[] = {"auto_exposure",
                           "exposure",
                           "gain",
                           "brightness",
                           "contrast",
                           "saturation",
                           "hue",
                           "gamma",
                           "sharpness",
                           "white_balance_auto",
                           "white_balance",
                           "power_line_frequency",
                           "backlight_compensation"};
    for (std::size_t i = 0; i < v4l2.size(); ++i) EXPECT_EQ(v4l2[i].name, names[i]);
    EXPECT_EQ(v4l2[1].default_value, 312);
    EXPECT_EQ(v4l2[1].max, 80000);
    EXPECT_EQ(v4l2[1].unit, "100us");
    EXPECT_EQ(v4l2[1].auto_companion, "auto_exposure");
    EXPECT_EQ(v4l2[10].updatable_by_auto, false);
    EXPECT_FALSE(v4l2[9].updatable_by_auto.has_value());
    EXPECT_EQ(v4l2[9].kind, "boolean");
    EXPECT_EQ(v4l2[9].value_type, "bool");
    using Menu = std::vector<std::pair<int, std::string>>;
    EXPECT_EQ(v4l2[0].enum_values, (Menu{{1, "Manual"}, {3, "Aperture Priority"}}));
    EXPECT_EQ(v4l2[11].enum_values, (Menu{{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}}));

    const auto& win = *KELVO_CORVAN.windows_controls;
    ASSERT_EQ(win.size(), 12u);
    EXPECT_TRUE(std::none_of(win.begin(), win.end(),
                             [](auto& c) { return c.name == "power_line_frequency"; }));
    EXPECT_EQ(win[1].name, "exposure");
    EXPECT_EQ(win[1].min, -13);
    EXPECT_EQ(win[1].max, 3);
    EXPECT_EQ(win[1].default_value, -5);
    EXPECT_EQ(win[1].unit, "log2(s)");
    EXPECT_EQ(win[1].label, "Exposure");
    EXPECT_EQ(win[11].name, "backlight_compensation");
}

TEST(Catalogue, WindowsTableDerivation) {
    EXPECT_TRUE(_build_windows_controls({}).empty());
    CameraControlList plain = {(*KELVO_CORVAN.controls)[3], (*KELVO_CORVAN.controls)[4]};
    EXPECT_EQ(_build_windows_controls(plain), plain);
    const auto once = _build_windows_controls(*KELVO_CORVAN.controls);
    EXPECT_EQ(_build_windows_controls(once), once);
}

TEST(Catalogue, FenwaSharesTheCorvanTables) {
    const auto& skus = *KELVO_FENWA.skus;
    ASSERT_EQ(skus.size(), 10u);
    EXPECT_EQ(skus[0], "STEREO-CAMERA-FENWA-REGULAR-21");
    EXPECT_EQ(skus[9], "STEREO-CAMERA-MODULE-FENWA-FISHEYE-21");
    EXPECT_FALSE(KELVO_FENWA.has_sku("STEREO-CAMERA-FENWA-ULTRA-FISHEYE-21"));
    for (const auto& sku : skus) EXPECT_FALSE(KELVO_CORVAN.has_sku(sku));
    EXPECT_EQ(KELVO_FENWA.modes.get(), KELVO_CORVAN.modes.get());
    EXPECT_EQ(KELVO_FENWA.controls.get(), KELVO_CORVAN.controls.get());
    EXPECT_EQ(KELVO_FENWA.windows_controls.get(), KELVO_CORVAN.windows_controls.get());
    EXPECT_EQ(KELVO_FENWA.default_mode(), KELVO_CORVAN.default_mode());
}

TEST(Catalogue, LookupByProductCode) {
    EXPECT_EQ(spec_by_sku("STEREO-CAMERA-FENWA-WIDE-21").get(), &KELVO_FENWA);
    EXPECT_EQ(spec_by_sku("STEREO-CAMERA-CORVAN-LONG-WIDE-21").get(), &KELVO_CORVAN);
    EXPECT_EQ(spec_by_sku("NOPE"), nullptr);
    EXPECT_EQ(spec_by_sku(""), nullptr);
    const auto entries = catalogue();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].first, "KELVO_CORVAN");
    EXPECT_EQ(entries[1].first, "KELVO_FENWA");
}

}  // namespace
}  // namespace kelvo
