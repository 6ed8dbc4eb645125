// The viewer on a live camera: the camera double streams FFmpeg's test
// pattern at its own pace through the real LiveCapture, and its control
// handle records what it is told. The page's control panel offers the
// catalogue's controls with their ranges, defaults, menus and auto switches;
// a change reaches the camera; a value the camera does not take is a 400
// that never reaches it, and the pipeline keeps running.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "kelvo/cameras/kelvo_corvan.hpp"
#include "kelvo/sources/live_capture.hpp"
#include "kelvo/viewer/viewer_server.hpp"
#include "support/fake_camera.hpp"
#include "viewer_http.hpp"

namespace kelvo {
namespace {

using testing::ControlLog;
using testing::http;
using testing::post;
using testing::Reply;

class ViewerCameraTest : public ::testing::Test {
  protected:
    void SetUp() override {
        backend = std::make_shared<testing::TestBackend>();
        // Paced like a camera (the realtime filter), in a mode the catalogue lists.
        backend->args = {"testsrc2=size=1280x360:rate=25,realtime,format=yuyv422", "lavfi", {}};
        control_log = std::make_shared<ControlLog>();
        for (const auto& control : *KELVO_CORVAN.controls) {
            control_log->values[control.name] = control.default_value;
        }
        control_log->values["exposure"] = 640;  // the camera's own value, not the default
        backend->controls = [log = control_log](const std::string&, const std::string&) {
            return std::make_unique<testing::FakeControls>(log);
        };
        set_current_backend(backend);

        KelvoCameraInfo camera;
        camera.os_id = "/dev/video-test";
        camera.sku = "STEREO-CAMERA-CORVAN-REGULAR-WIDE-21";
        camera.spec = spec_by_sku(camera.sku);
        camera.model_name = "Kelvo test unit";
        camera.serial = "SN-1";
        auto source = std::make_shared<LiveCapture>(
            camera, LiveCaptureOptions{.mode = *KELVO_CORVAN.mode_by_slug("1280x360@25-YUYV")});
        session = std::make_shared<ViewerSession>(ViewerSessionOptions{.source = source});
        session->start();
        server = std::make_unique<ViewerServer>(session, ViewerServerOptions{.port = 0});
        server->start();
        port = server->port();
    }
    void TearDown() override {
        if (server) server->stop();
        if (session) session->stop();
        set_current_backend(nullptr);
    }

    std::int64_t frames_emitted() { return session->state()["frames_emitted"].get<std::int64_t>(); }

    /// True once the pipeline has emitted more than `count` frames.
    bool emits_beyond(std::int64_t count) {
        for (int i = 0; i < 100; ++i) {
            if (frames_emitted() > count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::vector<std::pair<std::string, double>> sets() {
        std::lock_guard lock(control_log->mutex);
        return control_log->sets;
    }

    static const Json* find(const Json& list, const std::string& name) {
        for (const auto& c : list) {
            if (c["name"] == name) return &c;
        }
        return nullptr;
    }

    std::shared_ptr<testing::TestBackend> backend;
    std::shared_ptr<ControlLog> control_log;
    std::shared_ptr<ViewerSession> session;
    std::unique_ptr<ViewerServer> server;
    int port = 0;
};

TEST_F(ViewerCameraTest, ThePanelOffersTheCataloguesControlsWithTheirAutoSwitches) {
    const Reply r = http(port, {.path = "/api/controls"});
    ASSERT_EQ(r.status, 200) << r.body;
    const Json camera = r.json()["camera"];
    const auto& table = *KELVO_CORVAN.controls;
    ASSERT_EQ(camera.size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(table[i].name);
        Json expected = table[i].to_json();
        expected["value"] = control_log->values[table[i].name];
        EXPECT_EQ(camera[i], expected);
    }
    // What the page builds its widgets and gates from.
    const struct {
        const char* name;
        Json auto_companion;
        const char* kind;
        int min, max, default_value;
    } gates[] = {
        {"auto_exposure", nullptr, "enum", 0, 3, 3},
        {"exposure", "auto_exposure", "number", 1, 80000, 312},
        {"gain", "auto_exposure", "number", 0, 130, 32},
        {"white_balance_auto", nullptr, "boolean", 0, 1, 1},
        {"white_balance", "white_balance_auto", "number", 2800, 6500, 4600},
    };
    for (const auto& g : gates) {
        SCOPED_TRACE(g.name);
        const Json* c = find(camera, g.name);
        ASSERT_TRUE(c);
        EXPECT_EQ((*c)["auto_companion"], g.auto_companion);
        EXPECT_EQ((*c)["kind"], g.kind);
        EXPECT_EQ((*c)["min"], g.min);
        EXPECT_EQ((*c)["max"], g.max);
        EXPECT_EQ((*c)["default"], g.default_value);
    }
    EXPECT_EQ((*find(camera, "auto_exposure"))["enum_values"],
              Json::parse(R"([[1, "Manual"], [3, "Aperture Priority"]])"));
    EXPECT_EQ((*find(camera, "white_balance"))["updatable_by_auto"], false);
    EXPECT_EQ((*find(camera, "exposure"))["value"], 640);
    EXPECT_EQ(session->describe()["source"]["kind"], "camera");
}

TEST_F(ViewerCameraTest, ChangesReachTheCameraAndBadValuesNeverDo) {
    const struct {
        const char* body;
        std::pair<std::string, double> reached;
    } changes[] = {
        {R"({"name": "auto_exposure", "value": 1})", {"auto_exposure", 1}},  // manual
        {R"({"name": "exposure", "value": 500})", {"exposure", 500}},
        {R"({"name": "white_balance_auto", "value": false})", {"white_balance_auto", 0}},
        {R"({"name": "white_balance", "value": 5200.0})", {"white_balance", 5200}},
        {R"({"name": "auto_exposure", "value": 3})", {"auto_exposure", 3}},  // automatic again
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.body);
        const Reply r = post(port, "/api/camera_control", c.body);
        ASSERT_EQ(r.status, 200) << r.body;
        ASSERT_FALSE(sets().empty());
        EXPECT_EQ(sets().back(), c.reached);
        // The reply is the panel as the camera now reports it.
        EXPECT_EQ((*find(r.json()["camera"], c.reached.first))["value"], c.reached.second);
    }

    const auto emitted = frames_emitted();
    const auto reached = sets().size();
    const struct {
        const char* path;
        const char* body;
        const char* message;
    } bad[] = {
        {"/api/camera_control", R"({"name": "exposure", "value": 0})", "within 1..80000"},
        {"/api/camera_control", R"({"name": "gain", "value": 131})", "within 0..130"},
        {"/api/camera_control", R"({"name": "auto_exposure", "value": 2})",
         "one of 1 (Manual), 3 (Aperture Priority)"},
        {"/api/camera_control", R"({"name": "exposure", "value": true})", "not true or false"},
        {"/api/camera_control", R"({"name": "exposure", "value": 12.5})", "must be an integer"},
        {"/api/camera_control", R"({"name": "exposure", "value": "high"})", "must be an integer"},
        {"/api/camera_control", R"({"name": "zoom", "value": 1})", "unknown camera control"},
        {"/api/camera_control", R"({"name": "exposure"})", "needs the field 'value'"},
        {"/api/playback", R"({"action": "step_back"})", "need a recording"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.body);
        const Reply r = post(port, b.path, b.body);
        EXPECT_EQ(r.status, 400) << r.body;
        EXPECT_NE(r.json().value("error", "").find(b.message), std::string::npos) << r.body;
    }
    EXPECT_EQ(sets().size(), reached);
    EXPECT_TRUE(emits_beyond(emitted));
    EXPECT_TRUE(session->is_running());
}

TEST_F(ViewerCameraTest, ACameraThatRefusesAWriteIsAClearErrorAndTheViewerCarriesOn) {
    {
        std::lock_guard lock(control_log->mutex);
        control_log->failing_set = {"gain"};
    }
    const auto emitted = frames_emitted();
    const Reply r = post(port, "/api/camera_control", R"({"name": "gain", "value": 40})");
    EXPECT_EQ(r.status, 409) << r.body;
    EXPECT_NE(r.body.find("write failed: gain"), std::string::npos) << r.body;
    EXPECT_EQ(post(port, "/api/camera_control", R"({"name": "hue", "value": -100})").status, 200);
    EXPECT_EQ(sets().back(), std::make_pair(std::string("hue"), -100.0));
    EXPECT_TRUE(emits_beyond(emitted));
}

}  // namespace
}  // namespace kelvo
