// One check of a camera-control value for every caller: the catalogue's own
// controls (range, menu, switch) and a stepped control, accepted values with
// the integer the camera gets, refusals with their reason.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "kelvo/cameras/camera_spec.hpp"
#include "kelvo/cameras/kelvo_corvan.hpp"

namespace {

using kelvo::CameraControl;
using kelvo::Json;

const CameraControl& corvan_control(const std::string& name) {
    for (const auto& c : kelvo::KELVO_CORVAN.platform_controls()) {
        if (c.name == name) return c;
    }
    throw std::logic_error("no control " + name);
}

CameraControl stepped() {
    CameraControl c;
    c.name = "zoom";
    c.kind = "number";
    c.value_type = "int";
    c.min = 100;
    c.max = 500;
    c.step = 50;
    return c;
}

TEST(CameraControlCheck, AcceptedValuesGiveTheIntegerTheCameraTakes) {
    const struct {
        CameraControl control;
        Json value;
        int expected;
    } cases[] = {
        {corvan_control("exposure"), 312, 312},
        {corvan_control("exposure"), 80000.0, 80000},  // a float with no fraction
        {corvan_control("brightness"), -64, -64},
        {corvan_control("auto_exposure"), 1, 1},
        {corvan_control("auto_exposure"), 3, 3},
        {corvan_control("white_balance_auto"), true, 1},
        {corvan_control("white_balance_auto"), false, 0},
        {corvan_control("white_balance_auto"), 0, 0},
        {stepped(), 150, 150},
        {stepped(), 500, 500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control.name + "=" + c.value.dump());
        EXPECT_EQ(kelvo::check_camera_control_value(c.control, c.value), c.expected);
    }
}

TEST(CameraControlCheck, RefusalsSayWhy) {
    const struct {
        CameraControl control;
        Json value;
        const char* message;
    } cases[] = {
        {corvan_control("exposure"), 0, "camera control exposure must be within 1..80000; got 0"},
        {corvan_control("gain"), 131, "camera control gain must be within 0..130; got 131"},
        {corvan_control("exposure"), 2.5, "'exposure' must be an integer; got 2.5"},
        {corvan_control("exposure"), "312", "'exposure' must be an integer"},
        {corvan_control("exposure"), 1e12, "'exposure' must be an integer"},
        {corvan_control("exposure"), true, "camera control 'exposure' takes a number, not true"},
        {corvan_control("auto_exposure"), 2,
         "camera control auto_exposure takes one of 1 (Manual), 3 (Aperture Priority); got 2"},
        {corvan_control("auto_exposure"), 4, "must be within 0..3; got 4"},
        {stepped(), 125, "camera control zoom must be within 100..500 in steps of 50; got 125"},
        {stepped(), 550, "in steps of 50; got 550"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control.name + "=" + c.value.dump());
        try {
            kelvo::check_camera_control_value(c.control, c.value);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
