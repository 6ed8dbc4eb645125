// LiveCapture driven end to end through real FFmpeg inputs: a host-installed
// platform back-end opens Matroska/NUT files written at test time, the lavfi
// test-pattern device and pipes, so packets flow through the real demuxers
// and the pump. Only the camera-control handle is a test double.
#include <fcntl.h>
#include <unistd.h>

#include <any>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "kelvo/cameras/kelvo_corvan.hpp"
#include "kelvo/cameras/kelvo_fenwa.hpp"
#include "kelvo/log.hpp"
#include "kelvo/sources/live_capture.hpp"
#include "support/fake_camera.hpp"
#include "support/log_capture.hpp"
#include "support/test_paths.hpp"

namespace kelvo {
namespace live_capture_test {
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using testing::LogCapture;

const std::string CORVAN_SKU = "STEREO-CAMERA-CORVAN-REGULAR-WIDE-21";
const std::string FENWA_SKU = "STEREO-CAMERA-FENWA-WIDE-21";
const std::string CHANNEL = "kelvo_camera_sdk.live_capture";
const std::string TYPE_ERROR_TAIL =
    ". Resolve the camera via list_connected_kelvo_cameras() / "
    "get_connected_kelvo_camera_by_serial(serial) first.";

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename Pred>
bool wait_until(Pred pred, double seconds = 20.0) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

CaptureMode mode(const std::string& slug) {
    auto found = KELVO_CORVAN.mode_by_slug(slug);
    if (!found) throw std::runtime_error("no mode " + slug);
    return *found;
}

/// Small JPEG images made by ffmpeg when the suite starts (OpenCV's codec
/// set-up is kept out of this threaded test).
std::vector<Bytes>& jpeg_pool() {
    static std::vector<Bytes> pool;
    return pool;
}

Bytes small_jpeg(int seed) {
    if (jpeg_pool().empty()) throw std::runtime_error("no JPEG images were made");
    return jpeg_pool().at(static_cast<std::size_t>(seed) % jpeg_pool().size());
}

// ------------------------------------------------------------- test double

using testing::ControlLog;
using testing::FakeControls;
using testing::TestBackend;

// --------------------------------------------------------------- inputs

struct PacketSpec {
    std::int64_t pts;
    std::int64_t dts;
    Bytes data;
};

/// Writes a NUT file (any time base) with exactly these packets, in order.
void write_nut(const fs::path& path, AVRational time_base, const std::vector<PacketSpec>& packets) {
    AVFormatContext* oc = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&oc, nullptr, "nut", path.c_str()), 0);
    AVStream* st = avformat_new_stream(oc, nullptr);
    st->time_base = time_base;
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_MJPEG;
    st->codecpar->width = 64;
    st->codecpar->height = 32;
    ASSERT_GE(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(oc, nullptr), 0);
    ASSERT_EQ(av_cmp_q(st->time_base, time_base), 0) << "the muxer changed the time base";
    for (const auto& spec : packets) {
        AVPacket* pkt = av_packet_alloc();
        if (!spec.data.empty()) {
            ASSERT_GE(av_new_packet(pkt, static_cast<int>(spec.data.size())), 0);
            std::copy(spec.data.begin(), spec.data.end(), pkt->data);
        }
        pkt->pts = spec.pts;
        pkt->dts = spec.dts;
        pkt->flags |= AV_PKT_FLAG_KEY;
        pkt->stream_index = 0;
        ASSERT_GE(av_write_frame(oc, pkt), 0);
        av_packet_free(&pkt);
    }
    ASSERT_GE(av_write_trailer(oc), 0);
    avio_closep(&oc->pb);
    avformat_free_context(oc);
}

/// Every video packet of a file, read independently of the source.
std::vector<std::pair<std::int64_t, Bytes>> read_packets(const fs::path& path,
                                                         AVRational* time_base) {
    AVFormatContext* ic = nullptr;
    EXPECT_EQ(avformat_open_input(&ic, path.c_str(), nullptr, nullptr), 0);
    std::vector<std::pair<std::int64_t, Bytes>> out;
    *time_base = ic->streams[0]->time_base;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ic, pkt) >= 0) {
        out.emplace_back(pkt->pts, Bytes(pkt->data, pkt->data + pkt->size));
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ic);
    return out;
}

/// A pipe whose read end the demuxer reads as "pipe:<fd>"; non-blocking at
/// the descriptor so FFmpeg's I/O layer polls its interrupt callback.
class Pipe {
  public:
    Pipe() {
        if (::pipe(_fds) != 0) throw std::runtime_error("pipe failed");
        ::fcntl(_fds[0], F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        ::close(_fds[0]);
        close_writer();
    }
    std::string url() const { return "pipe:" + std::to_string(_fds[0]); }
    void write(const Bytes& data) {
        ASSERT_EQ(::write(_fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
    void close_writer() {
        if (_fds[1] >= 0) ::close(_fds[1]);
        _fds[1] = -1;
    }

  private:
    int _fds[2] = {-1, -1};
};

class LiveCaptureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new testing::TempDir("live_capture");
        stereo_mkv = (dir->path() / "stereo_2560x720.mkv").string();
        const int rc = testing::run_command(
            "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=2560x720:rate=30 "
            "-frames:v 12 -c:v mjpeg -q:v 6 -f matroska '" +
            stereo_mkv + "'");
        ASSERT_EQ(rc, 0);
        raw_mjpeg = (dir->path() / "small.mjpeg").string();
        ASSERT_EQ(
            testing::run_command("ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
                                 "testsrc2=size=320x180:rate=30 -frames:v 4 -c:v mjpeg -f mjpeg '" +
                                 raw_mjpeg + "'"),
            0);
        ASSERT_EQ(testing::run_command("ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
                                       "testsrc2=size=64x32:rate=30 -frames:v 6 -c:v mjpeg "
                                       "-f image2 '" +
                                       (dir->path() / "small_%d.jpg").string() + "'"),
                  0);
        jpeg_pool().clear();
        for (int k = 1; k <= 6; ++k) {
            std::ifstream in(dir->path() / ("small_" + std::to_string(k) + ".jpg"),
                             std::ios::binary);
            jpeg_pool().emplace_back(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
            ASSERT_GT(jpeg_pool().back().size(), 100u);
        }
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    void SetUp() override {
        backend = std::make_shared<TestBackend>();
        control_log = std::make_shared<ControlLog>();
        for (const auto& control : *KELVO_CORVAN.controls) {
            control_log->values[control.name] = control.default_value;
        }
        backend->controls = [log = control_log](const std::string&, const std::string&) {
            return std::make_unique<FakeControls>(log);
        };
        set_current_backend(backend);
    }
    void TearDown() override { set_current_backend(nullptr); }

    static KelvoCameraInfo camera(const std::string& sku = CORVAN_SKU) {
        KelvoCameraInfo info;
        info.os_id = "/dev/video-test";
        info.sku = sku;
        info.spec = spec_by_sku(sku);
        info.model_name = "Kelvo test unit";
        info.serial = "SN-1";
        return info;
    }

    static LiveCaptureOptions stereo(std::vector<std::pair<std::string, double>> initial = {}) {
        return {.mode = mode("2560x720@30-MJPG"), .initial_controls = std::move(initial)};
    }

    void use_file(const std::string& path, const std::string& format) {
        backend->args = {path, format, {}};
    }
    void use_lavfi(const std::string& graph) { backend->args = {graph, "lavfi", {}}; }

    static inline testing::TempDir* dir = nullptr;
    static inline std::string stereo_mkv;
    static inline std::string raw_mjpeg;
    std::shared_ptr<TestBackend> backend;
    std::shared_ptr<ControlLog> control_log;
};

// ---------------------------------------------------------- construction

TEST_F(LiveCaptureTest, ConstructionTouchesNoDeviceAndDefaultsToTheCatalogueMode) {
    for (const auto& sku : {CORVAN_SKU, FENWA_SKU}) {
        SCOPED_TRACE(sku);
        LiveCapture source(camera(sku));
        EXPECT_EQ(source.mode(), CaptureMode(1280, 360, 30, "MJPG", true, true, true));
        EXPECT_EQ(source.mode_slug(), "1280x360@30-MJPG");
        EXPECT_EQ(source.fourcc(), "MJPG");
        EXPECT_EQ(source.os_id(), "/dev/video-test");
        EXPECT_TRUE(source.is_live());
        EXPECT_FALSE(source.is_seekable());
        EXPECT_FALSE(source.t0_monotonic_ns());
        EXPECT_FALSE(source.camera_controls());
        EXPECT_TRUE(source.list_camera_controls().empty());
        EXPECT_EQ(source.camera_info().sku, sku);
        EXPECT_EQ(source.get_pump_stats(), std::make_pair(std::int64_t{0}, std::int64_t{0}));
        source.close();  // never opened: harmless, and again
        source.close();
    }
    EXPECT_TRUE(backend->opened.empty());
    EXPECT_TRUE(backend->control_requests.empty());
}

TEST_F(LiveCaptureTest, PropertiesOfTheIdentityAndMode) {
    KelvoCameraInfo info = camera();
    const Calibration::Camera eye{cv::Matx33d(400, 0, 640, 0, 400, 360, 0, 0, 1), {0, 0, 0, 0, 0}};
    info.base_calibration = std::make_shared<const Calibration>(
        HeightWidth{720, 1280}, eye, eye, cv::Matx33d::eye(), cv::Vec3d(-0.05, 0, 0));
    CaptureMode lower = mode("1280x720@10-YUYV");
    lower.fourcc = "yuyv";
    LiveCapture source(info, {.mode = lower});
    EXPECT_EQ(source.fourcc(), "YUYV");
    EXPECT_EQ(source.base_calibration(), info.base_calibration);  // the very same object
    EXPECT_EQ(source.active_calibration(), info.base_calibration);
    EXPECT_THROW(
        {
            try {
                source.grab(0.01);
            } catch (const RuntimeError& e) {
                EXPECT_STREQ(e.what(), "LiveCapture not open");
                throw;
            }
        },
        RuntimeError);
}

TEST_F(LiveCaptureTest, AGivenCalibrationReplacesTheCamerasOwn) {
    KelvoCameraInfo info = camera();
    const Calibration::Camera eye{cv::Matx33d(400, 0, 640, 0, 400, 360, 0, 0, 1), {0, 0, 0, 0, 0}};
    info.base_calibration = std::make_shared<const Calibration>(
        HeightWidth{720, 1280}, eye, eye, cv::Matx33d::eye(), cv::Vec3d(-0.05, 0, 0));
    const auto own = std::make_shared<const Calibration>(
        HeightWidth{720, 1280}, eye, eye, cv::Matx33d::eye(), cv::Vec3d(-0.062, 0, 0));
    LiveCapture source(info, {.calibration = own});
    EXPECT_EQ(source.base_calibration(), own);
    EXPECT_EQ(source.active_calibration(), own);
    // What a recording of this source stores as its base calibration.
    EXPECT_EQ(source.camera_info().to_dict()["base_calibration"], own->to_dict());
    LiveCapture unchanged(info);
    EXPECT_EQ(unchanged.base_calibration(), info.base_calibration);
}

TEST_F(LiveCaptureTest, TheBackEndIsTakenOnceAtConstruction) {
    LiveCapture source(camera(), stereo());
    set_current_backend(nullptr);  // the host switching back later does not affect this source
    use_file(stereo_mkv, "matroska");
    source.open();
    EXPECT_EQ(backend->opened.size(), 1u);
    source.close();
}

TEST_F(LiveCaptureTest, CamerasOutsideTheCatalogueCannotDriveASource) {
    KelvoCameraInfo info = camera("NOT-A-KELVO-SKU");
    EXPECT_FALSE(info.spec);
    EXPECT_THROW(LiveCapture{info}, std::invalid_argument);
}

TEST_F(LiveCaptureTest, AnythingButAKelvoCameraInfoIsATypeError) {
    const std::vector<std::pair<std::any, std::string>> wrong = {
        {std::any(std::string("/dev/video0")), "std::string"},
        {std::any(42), "int"},
        {std::any(), "void"},
        {std::any(CameraInfo{}), "kelvo::CameraInfo"},
        {std::any(std::shared_ptr<const KelvoCameraInfo>()),
         "std::shared_ptr<kelvo::KelvoCameraInfo const> (null)"},
        {std::any(std::make_shared<int>(3)), "std::shared_ptr<int>"},
        {std::any(Json("/dev/video0")), "string"},
        {std::any(Json{{"os_id", "/dev/video0"}, {"camera_name", "x"}, {"width", 640}}), "object"},
        {std::any(Json::array({1, 2})), "array"},
        {std::any(Json()), "null"},
    };
    for (const auto& [value, type] : wrong) {
        SCOPED_TRACE(type);
        try {
            make_live_capture(value);
            ADD_FAILURE() << "accepted";
        } catch (const TypeError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "LiveCapture expects a KelvoCameraInfo, got " + type + TYPE_ERROR_TAIL);
        }
    }
    try {
        LiveCapture::from_record(Json(3.5));
        ADD_FAILURE() << "accepted";
    } catch (const TypeError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "LiveCapture expects a KelvoCameraInfo, got number" + TYPE_ERROR_TAIL);
    }
    // The right kinds are accepted.
    const KelvoCameraInfo info = camera();
    EXPECT_EQ(make_live_capture(info)->os_id(), info.os_id);
    EXPECT_EQ(make_live_capture(std::make_shared<const KelvoCameraInfo>(info))->os_id(),
              info.os_id);
    EXPECT_EQ(make_live_capture(info.to_dict())->camera_info().serial, "SN-1");
    EXPECT_EQ(LiveCapture::from_record(info.to_dict())->camera_info().spec, info.spec);
}

// ------------------------------------------------------- the pump, for real

TEST_F(LiveCaptureTest, MjpegStreamFlowsThroughThePump) {
    LogCapture log(CHANNEL);
    AVRational tb{};
    const auto packets = read_packets(stereo_mkv, &tb);
    ASSERT_EQ(packets.size(), 12u);

    use_file(stereo_mkv, "matroska");
    LiveCapture source(camera(), {.mode = mode("2560x720@30-MJPG")});
    std::mutex seen_mutex;
    std::vector<FramePtr> seen;
    source.add_fanout(make_frame_callback([&](const FramePtr& frame) {
        std::lock_guard lock(seen_mutex);
        seen.push_back(frame);
    }));

    const CameraInfo info = source.open();
    EXPECT_EQ(info.os_id, "/dev/video-test");
    EXPECT_EQ(info.camera_name, "Kelvo test unit");
    EXPECT_EQ(info.camera_serial, "SN-1");
    EXPECT_EQ(info.width, 2560);
    EXPECT_EQ(info.height, 720);
    EXPECT_DOUBLE_EQ(info.fps, 30.0);
    EXPECT_TRUE(info.is_live);
    EXPECT_EQ(info.clock_domain, "test_clock");
    EXPECT_EQ(info.sku, CORVAN_SKU);
    EXPECT_EQ(backend->opened.front(),
              std::make_pair(std::string("/dev/video-test"), std::string("2560x720@30-MJPG")));
    EXPECT_EQ(backend->requested_seen, "MJPG");
    EXPECT_EQ(backend->codec_seen->codec_name, "mjpeg");
    EXPECT_EQ(backend->control_requests.front(), "/dev/video-test|SN-1");
    EXPECT_EQ(source.fourcc(), "MJPG");

    ASSERT_TRUE(wait_until([&] { return log.count("camera pump: demux ended (EOF)") > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(log.count("camera pump: demux ended (EOF)", spdlog::level::warn), 1u);

    std::lock_guard lock(seen_mutex);
    ASSERT_EQ(seen.size(), packets.size());  // fan-out sees every frame
    const std::int64_t first_ns = detail::packet_time_ns(packets[0].first, tb.num, tb.den);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i]->sequence, static_cast<std::int64_t>(i) + 1);
        const std::int64_t ns = detail::packet_time_ns(packets[i].first, tb.num, tb.den);
        EXPECT_EQ(seen[i]->pts_us, (ns - first_ns) / 1000);
        EXPECT_EQ(seen[i]->payload, packets[i].second);  // a clean JPEG is kept whole
        EXPECT_FALSE(seen[i]->source_frame_idx);
    }
    EXPECT_EQ(seen[0]->pts_us, 0);
    EXPECT_EQ(source.t0_monotonic_ns(), first_ns);

    // Nobody grabbed: the slot holds the newest frame, every older one was dropped.
    EXPECT_EQ(source.get_pump_stats(), std::make_pair(std::int64_t{12}, std::int64_t{11}));
    EXPECT_EQ(source.get_pump_stats(), std::make_pair(std::int64_t{0}, std::int64_t{0}));
    const FramePtr newest = source.grab(1.0);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest, seen.back());
    const auto before = Clock::now();
    EXPECT_FALSE(source.grab(0.05));  // the pump has ended: grab times out
    EXPECT_GE(seconds_since(before), 0.03);

    source.close();
    EXPECT_EQ(log.count("camera pump: demux ended (EOF)"), 1u);
    EXPECT_EQ(log.count("camera pump thread"), 0u);
    EXPECT_EQ(control_log->closes, 1);
    EXPECT_THROW(source.grab(0.01), RuntimeError);
}

TEST_F(LiveCaptureTest, FourccMismatchIsAWarningAndFourccReportsWhatIsDelivered) {
    LogCapture log(CHANNEL);
    use_lavfi("testsrc2=size=1280x360:rate=30:duration=0.2,format=yuyv422");
    LiveCapture source(camera());  // default mode: 1280x360 MJPG
    std::atomic<int> frames{0};
    std::vector<std::int64_t> pts;
    std::mutex pts_mutex;
    source.add_fanout(make_frame_callback([&](const FramePtr& f) {
        EXPECT_EQ(f->payload.size(), 1280u * 360u * 2u);
        std::lock_guard lock(pts_mutex);
        pts.push_back(f->pts_us);
        ++frames;
    }));
    const CameraInfo info = source.open();
    EXPECT_EQ(source.fourcc(), "YUYV");
    EXPECT_EQ(log.count("requested fourcc MJPG but capturing as YUYV (e.g. macOS AVFoundation "
                        "exposes no MJPEG path → raw YUYV)",
                        spdlog::level::warn),
              1u);
    EXPECT_EQ(log.count("requested 1280x360"), 0u);
    EXPECT_EQ(info.width, 1280);
    ASSERT_TRUE(wait_until([&] { return log.count("camera pump: demux ended (EOF)") > 0; }));
    source.close();
    std::lock_guard lock(pts_mutex);
    ASSERT_EQ(pts.size(), 6u);
    // 1/30 s time base, exact floor arithmetic: 33333.33 us -> 33333, 66666.67 -> 66666.
    EXPECT_EQ(pts[0], 0);
    EXPECT_EQ(pts[1], 33333);
    EXPECT_EQ(pts[2], 66666);
    EXPECT_EQ(pts[3], 100000);
    EXPECT_EQ(log.count("requested fourcc"), 1u);
}

TEST_F(LiveCaptureTest, StreamSizeDifferentFromTheModeIsAWarning) {
    LogCapture log(CHANNEL);
    use_lavfi("testsrc2=size=640x360:rate=25:duration=0.1,format=yuyv422");
    LiveCapture source(camera(), {.mode = mode("1280x360@25-YUYV")});
    const CameraInfo info = source.open();
    EXPECT_EQ(log.count("requested 1280x360 but stream opened at 640x360 — the requested "
                        "size+fps+fourcc combo isn't natively supported",
                        spdlog::level::warn),
              1u);
    EXPECT_EQ(log.count("requested fourcc"), 0u);
    EXPECT_EQ(info.width, 640);
    EXPECT_EQ(info.height, 360);
    EXPECT_DOUBLE_EQ(info.fps, 25.0);
    const FramePtr frame = source.grab(10.0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload.size(), 640u * 360u * 2u);  // trimmed to the stream's size
    source.close();
}

TEST_F(LiveCaptureTest, UnknownStreamSizeFallsBackToTheModeWithoutAWarning) {
    LogCapture log(CHANNEL);
    use_file(raw_mjpeg, "mjpeg");  // the raw demuxer does not know the size before decoding
    LiveCapture source(camera());
    const CameraInfo info = source.open();
    EXPECT_EQ(backend->codec_seen->width, 0);
    EXPECT_EQ(info.width, 1280);
    EXPECT_EQ(info.height, 360);
    EXPECT_EQ(log.count("requested"), 0u);
    source.close();
}

TEST_F(LiveCaptureTest, OpenErrorsOfTheInputPropagate) {
    use_file((dir->path() / "missing.mkv").string(), "matroska");
    LiveCapture source(camera());
    EXPECT_THROW(source.open(), RuntimeError);
    backend->args = {"x", "no-such-input-format", {}};
    try {
        source.open();
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "unknown FFmpeg input format 'no-such-input-format'");
    }
    EXPECT_THROW(source.grab(0.01), RuntimeError);
    source.close();
}

TEST_F(LiveCaptureTest, TheLinuxBackEndsArgumentsAreAcceptedByTheV4l2Input) {
    // With the platform's own back-end every option is parsed before the
    // device is opened, so a missing device is the only thing that fails.
    set_current_backend(nullptr);
    KelvoCameraInfo info = camera();
    info.os_id = (dir->path() / "video-absent").string();
    for (const char* slug : {"2560x720@30-MJPG", "1280x720@7.5-YUYV"}) {
        SCOPED_TRACE(slug);
        LiveCapture source(info, {.mode = mode(slug)});
        try {
            source.open();
            FAIL() << "no such device";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "cannot open camera input '" + info.os_id + "': No such file or directory");
        }
        EXPECT_THROW(source.grab(0.01), RuntimeError);
    }
}

// ------------------------------------------------------------- controls

TEST_F(LiveCaptureTest, InitialControlsAreAppliedInOrderAndFailuresSkipped) {
    LogCapture log(CHANNEL);
    control_log->failing_set = {"gain"};
    use_file(stereo_mkv, "matroska");
    LiveCapture source(
        camera(),
        {.initial_controls = {
             {"auto_exposure", 1}, {"gain", 40}, {"exposure", 200}, {"brightness", -3.5}}});
    std::atomic<std::size_t> sets_at_first_frame{999};
    source.add_fanout(make_frame_callback([&](const FramePtr& f) {
        if (f->sequence != 1) return;
        std::lock_guard lock(control_log->mutex);
        sets_at_first_frame = control_log->sets.size();
    }));
    source.open();
    {
        std::lock_guard lock(control_log->mutex);
        EXPECT_EQ(control_log->sets,
                  (std::vector<std::pair<std::string, double>>{
                      {"auto_exposure", 1}, {"exposure", 200}, {"brightness", -3.5}}));
    }
    EXPECT_EQ(log.count("initial control 'gain'=40.0 failed (non-fatal)", spdlog::level::warn), 1u);
    EXPECT_EQ(log.count("initial control"), 1u);
    ASSERT_TRUE(wait_until([&] { return sets_at_first_frame.load() != 999; }));
    EXPECT_EQ(sets_at_first_frame.load(), 3u);  // applied before any frame was captured
    source.close();
}

TEST_F(LiveCaptureTest, WithoutAControlHandleTheSourceStillCaptures) {
    LogCapture log(CHANNEL);
    backend->controls = nullptr;  // open_controls raises
    use_file(stereo_mkv, "matroska");
    LiveCapture source(camera(), stereo({{"exposure", 100}}));
    const CameraInfo info = source.open();
    EXPECT_EQ(info.width, 2560);
    EXPECT_FALSE(source.camera_controls());
    EXPECT_TRUE(source.list_camera_controls().empty());
    EXPECT_EQ(log.count("initial control"), 0u);  // silently not applied
    EXPECT_TRUE(source.grab(10.0));
    source.close();
}

TEST_F(LiveCaptureTest, SerialMismatchPropagatesAndLeavesTheSourceClosed) {
    backend->controls = [](const std::string& os_id,
                           const std::string& serial) -> std::unique_ptr<CameraControls> {
        throw CameraSerialMismatch("camera at " + os_id + " reports serial 'OTHER', expected " +
                                   repr(serial));
    };
    use_file(stereo_mkv, "matroska");
    LiveCapture source(camera(), stereo());
    try {
        source.open();
        FAIL() << "expected CameraSerialMismatch";
    } catch (const CameraSerialMismatch& e) {
        EXPECT_STREQ(e.what(), "camera at /dev/video-test reports serial 'OTHER', expected 'SN-1'");
    }
    EXPECT_FALSE(source.camera_controls());
    // The input opened before the failure is released at once: the source is closed.
    try {
        source.grab(0.05);
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "LiveCapture not open");
    }
    source.close();
    backend->controls = [log = control_log](const std::string&, const std::string&) {
        return std::make_unique<FakeControls>(log);
    };
    source.open();
    EXPECT_TRUE(source.camera_controls());
    EXPECT_TRUE(source.grab(10.0));
    source.close();
}

TEST_F(LiveCaptureTest, ControlListingComesFromTheCatalogueWithCurrentValues) {
    for (const auto& sku : {CORVAN_SKU, FENWA_SKU}) {
        SCOPED_TRACE(sku);
        control_log->values["exposure"] = 777;
        control_log->failing_get = {"hue"};
        use_file(stereo_mkv, "matroska");
        LiveCapture source(camera(sku), stereo());
        source.open();
        const auto listing = source.list_camera_controls();
        const auto& table = spec_by_sku(sku)->platform_controls();
        ASSERT_EQ(listing.size(), 13u);
        for (std::size_t i = 0; i < listing.size(); ++i) {
            SCOPED_TRACE(table[i].name);
            EXPECT_EQ(listing[i].with_current_value(std::nullopt), table[i]);
            EXPECT_FALSE(table[i].current_value);  // the catalogue is not modified
            if (table[i].name == "hue") {
                EXPECT_FALSE(listing[i].current_value);
            } else {
                ASSERT_TRUE(listing[i].current_value);
                EXPECT_EQ(*listing[i].current_value, control_log->values[table[i].name]);
            }
        }
        EXPECT_EQ(*listing[1].current_value, 777);
        source.close();
        EXPECT_TRUE(source.list_camera_controls().empty());
        EXPECT_FALSE(source.camera_controls());
    }
}

TEST_F(LiveCaptureTest, NoSkuMeansNoListing) {
    use_file(stereo_mkv, "matroska");
    KelvoCameraInfo info = camera();
    info.sku.clear();  // the CameraSpec is known, the product code is not
    LiveCapture source(info, stereo());
    const CameraInfo opened = source.open();
    EXPECT_FALSE(opened.sku);
    EXPECT_TRUE(source.camera_controls());
    EXPECT_TRUE(source.list_camera_controls().empty());
    source.close();
}

// ---------------------------------------------------- open / close cycles

TEST_F(LiveCaptureTest, OpenTwiceFailsAndReopeningKeepsTheAnchorAndSequence) {
    use_file(stereo_mkv, "matroska");
    LiveCapture source(camera(), stereo());
    std::mutex m;
    std::vector<FramePtr> seen;
    source.add_fanout(make_frame_callback([&](const FramePtr& f) {
        std::lock_guard lock(m);
        seen.push_back(f);
    }));
    auto count = [&] {
        std::lock_guard lock(m);
        return seen.size();
    };
    source.open();
    try {
        source.open();
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "LiveCapture already open");
    }
    ASSERT_TRUE(wait_until([&] { return count() == 12; }));
    const auto anchor = source.t0_monotonic_ns();
    ASSERT_TRUE(anchor);
    source.close();
    source.open();  // the file plays again from its start
    ASSERT_TRUE(wait_until([&] { return count() == 24; }));
    source.close();
    std::lock_guard lock(m);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i]->sequence, static_cast<std::int64_t>(i) + 1);  // not reset by close()
    }
    EXPECT_EQ(source.t0_monotonic_ns(), anchor);  // the first opening's anchor stays
    EXPECT_EQ(seen[12]->pts_us, 0);               // same packet times, same anchor
    EXPECT_EQ(seen[23]->pts_us, seen[11]->pts_us);
}

/// Descriptors this process holds open (the device input holds one while open).
std::size_t open_descriptors() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

TEST_F(LiveCaptureTest, AFailedOpenReleasesWhatItAcquiredAndLeavesTheSourceClosed) {
    const std::string audio_only = (dir->path() / "audio_only.mkv").string();
    ASSERT_EQ(testing::run_command("ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
                                   "sine=duration=0.2 -c:a pcm_s16le -f matroska '" +
                                   audio_only + "'"),
              0);
    auto mismatch = [](const std::string& os_id,
                       const std::string&) -> std::unique_ptr<CameraControls> {
        throw CameraSerialMismatch("camera at " + os_id + " reports serial 'OTHER'");
    };
    struct Case {
        const char* name;
        std::string input;
        std::function<void(TestBackend&)> arm;
        std::string message;
        int control_closes;  ///< control handles opened before the failure (closed again)
    };
    const std::vector<Case> cases = {
        {"no video stream", audio_only, [](TestBackend&) {},
         "camera input '" + audio_only + "' has no video stream", 0},
        {"fourcc detection", stereo_mkv,
         [](TestBackend& b) { b.on_detect = [] { throw RuntimeError("no usable format"); }; },
         "no usable format", 0},
        {"serial mismatch", stereo_mkv, [&](TestBackend& b) { b.controls = mismatch; },
         "camera at /dev/video-test reports serial 'OTHER'", 0},
        {"after the control handle opened", stereo_mkv,
         [](TestBackend& b) {
             b.forced_fourcc = "YUYV";
             b.on_clock_domain = [] { throw RuntimeError("no clock"); };
         },
         "no clock", 1},
    };
    const auto working_controls = backend->controls;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LiveCapture source(camera(), stereo({{"exposure", 50}}));
        const int closes_before = control_log->closes;
        const std::size_t descriptors = open_descriptors();
        use_file(c.input, "matroska");
        c.arm(*backend);
        try {
            source.open();
            ADD_FAILURE() << "opened";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_EQ(open_descriptors(), descriptors);  // the device input is closed again
        EXPECT_EQ(control_log->closes, closes_before + c.control_closes);
        EXPECT_FALSE(source.camera_controls());
        EXPECT_TRUE(source.list_camera_controls().empty());
        EXPECT_EQ(source.fourcc(), "MJPG");  // nothing of the failed opening stays
        EXPECT_FALSE(source.at_end());
        try {
            source.grab(0.01);
            ADD_FAILURE() << "grabbed";
        } catch (const RuntimeError& e) {
            EXPECT_STREQ(e.what(), "LiveCapture not open");
        }

        // Without the fault the same source opens and captures.
        backend->on_detect = nullptr;
        backend->on_clock_domain = nullptr;
        backend->forced_fourcc.reset();
        backend->controls = working_controls;
        use_file(stereo_mkv, "matroska");
        source.open();
        EXPECT_TRUE(source.camera_controls());
        EXPECT_TRUE(source.grab(10.0));
        source.close();
        EXPECT_EQ(control_log->closes, closes_before + c.control_closes + 1);
    }
}

TEST_F(LiveCaptureTest, CloseInterruptsABlockingReadPromptly) {
    LogCapture log(CHANNEL);
    Pipe pipe;
    pipe.write(small_jpeg(1));  // one frame, whose end the parser cannot see yet
    backend->args = {pipe.url(), "mjpeg", {}};
    LiveCapture source(camera());
    source.open();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the pump is in the read

    std::atomic<bool> grab_returned{false};
    FramePtr grabbed_by_waiter;
    std::thread waiter([&] {
        grabbed_by_waiter = source.grab(30.0);
        grab_returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(grab_returned.load());
    const auto before = Clock::now();
    source.close();
    const double took = seconds_since(before);
    waiter.join();
    EXPECT_LT(took, 1.5);  // interrupted, not left behind after the 2 s join limit
    EXPECT_TRUE(grab_returned.load());
    EXPECT_FALSE(grabbed_by_waiter);
    EXPECT_EQ(log.count("camera pump"), 0u);  // an interrupted read is no error
}

TEST_F(LiveCaptureTest, WouldBlockReadsAreRetriedUntilClose) {
    LogCapture log(CHANNEL);
    Pipe pipe;
    const Bytes first = small_jpeg(2);
    Bytes data = first;
    const Bytes second = small_jpeg(3);
    data.insert(data.end(), second.begin(), second.begin() + 4);
    pipe.write(data);
    // AVIO_FLAG_NONBLOCK: the demuxer reports EAGAIN once the pipe is drained.
    backend->args = {pipe.url(), "mjpeg", {{"avioflags", "+8"}}};
    LiveCapture source(camera());
    source.open();
    const FramePtr frame = source.grab(10.0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, first);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // many 5 ms retries
    EXPECT_TRUE(log.records().empty());
    const auto before = Clock::now();
    source.close();
    EXPECT_LT(seconds_since(before), 1.5);
    EXPECT_TRUE(log.records().empty());
}

// ---------------------------------------------------- timestamps and slot

TEST_F(LiveCaptureTest, TimestampsFollowTheInputExactly) {
    const fs::path micro = dir->path() / "micro.nut";
    write_nut(
        micro, {1, 1000000},
        {{1000, 1000, small_jpeg(1)}, {1123, 1123, small_jpeg(2)}, {5000, 5000, small_jpeg(3)}});
    const fs::path nano = dir->path() / "nano.nut";
    write_nut(nano, {1, 1000000000}, {{1000, 998, small_jpeg(1)}, {999, 999, small_jpeg(2)}});
    struct Case {
        fs::path path;
        std::vector<std::int64_t> pts_us;
        std::int64_t anchor_ns;
    };
    for (const Case& c : {Case{micro, {0, 123, 4000}, 1000000}, Case{nano, {0, -1}, 1000}}) {
        SCOPED_TRACE(c.path.filename().string());
        LogCapture log(CHANNEL);
        use_file(c.path.string(), "nut");
        LiveCapture source(camera());
        std::mutex m;
        std::vector<std::int64_t> seen;
        source.add_fanout(make_frame_callback([&](const FramePtr& f) {
            std::lock_guard lock(m);
            seen.push_back(f->pts_us);
        }));
        source.open();
        ASSERT_TRUE(wait_until([&] { return log.count("camera pump: demux ended (EOF)") > 0; }));
        source.close();
        EXPECT_EQ(seen, c.pts_us);
        EXPECT_EQ(source.t0_monotonic_ns(), c.anchor_ns);
        const auto stats = source.get_pump_stats();
        EXPECT_EQ(stats.first, static_cast<std::int64_t>(c.pts_us.size()));
        EXPECT_EQ(stats.second, stats.first - 1);
    }
}

TEST_F(LiveCaptureTest, EmptyPacketsProduceNoFrame) {
    const fs::path path = dir->path() / "empty_packets.nut";
    write_nut(path, {1, 1000000},
              {{10000, 10000, {}},
               {20000, 20000, small_jpeg(1)},
               {30000, 30000, {}},
               {40000, 40000, small_jpeg(2)}});
    AVRational tb{};
    const auto packets = read_packets(path, &tb);
    ASSERT_EQ(packets.size(), 4u);  // the demuxer does deliver the empty packets
    ASSERT_TRUE(packets[0].second.empty());

    LogCapture log(CHANNEL);
    use_file(path.string(), "nut");
    LiveCapture source(camera());
    std::vector<FramePtr> seen;
    std::mutex m;
    source.add_fanout(make_frame_callback([&](const FramePtr& f) {
        std::lock_guard lock(m);
        seen.push_back(f);
    }));
    source.open();
    ASSERT_TRUE(wait_until([&] { return log.count("camera pump: demux ended (EOF)") > 0; }));
    source.close();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0]->sequence, 1);
    EXPECT_EQ(seen[0]->pts_us, 0);  // the anchor is the first accepted packet
    EXPECT_EQ(seen[1]->sequence, 2);
    EXPECT_EQ(seen[1]->pts_us, 20000);  // 40000 us - 20000 us
    EXPECT_EQ(source.t0_monotonic_ns(), 20000000);
    EXPECT_EQ(source.get_pump_stats(), std::make_pair(std::int64_t{2}, std::int64_t{1}));
}

TEST_F(LiveCaptureTest, GrabTakesTheNewestAndStatsCountDrops) {
    // The fan-out callback holds the pump after chosen frames, so the test
    // decides how many frames reach the slot between two grabs.
    const fs::path path = dir->path() / "five.nut";
    std::vector<PacketSpec> packets;
    for (int i = 0; i < 5; ++i) packets.push_back({i * 1000, i * 1000, small_jpeg(i)});
    write_nut(path, {1, 1000000}, packets);
    use_file(path.string(), "nut");

    std::mutex m;
    std::condition_variable cv;
    int allowed = 1;  // callbacks that may return; the next one holds the pump
    int entered = 0;
    int delivered = 0;
    LiveCapture source(camera());
    source.add_fanout(make_frame_callback([&](const FramePtr&) {
        std::unique_lock lock(m);
        ++entered;
        cv.notify_all();
        cv.wait(lock, [&] { return delivered < allowed; });
        ++delivered;
    }));
    auto allow = [&](int n) {
        std::lock_guard lock(m);
        allowed += n;
        cv.notify_all();
    };
    // Frame k+1 entering its callback means frame k has reached the slot.
    auto wait_entered = [&](int n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return entered >= n; });
    };
    source.open();

    const FramePtr first = source.grab(10.0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->sequence, 1);
    ASSERT_TRUE(wait_entered(2));
    EXPECT_EQ(source.get_pump_stats(), std::make_pair(std::int64_t{1}, std::int64_t{0}));
    allow(2);  // frames 2 and 3 pass, frame 4 holds the pump
    ASSERT_TRUE(wait_entered(4));
    const auto stats = source.get_pump_stats();
    const FramePtr newest = source.grab(1.0);
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->sequence, 3);
    EXPECT_EQ(stats, std::make_pair(std::int64_t{2}, std::int64_t{1}));
    EXPECT_EQ(source.get_pump_stats(), std::make_pair(std::int64_t{0}, std::int64_t{0}));
    allow(10);
    source.close();
}

TEST_F(LiveCaptureTest, FanoutErrorsAreLoggedAndRemovalTakesEffectNextFrame) {
    LogCapture log(CHANNEL);
    use_file(stereo_mkv, "matroska");
    LiveCapture source(camera(), stereo());
    std::atomic<int> good{0}, removed_calls{0}, twice{0};
    FrameCallbackPtr removable = make_frame_callback([&](const FramePtr&) { ++removed_calls; });
    FrameCallbackPtr remover = make_frame_callback([&](const FramePtr& f) {
        if (f->sequence == 1) source.remove_fanout(removable);
    });
    FrameCallbackPtr thrower =
        make_frame_callback([](const FramePtr&) { throw std::runtime_error("consumer broke"); });
    FrameCallbackPtr counted = make_frame_callback([&](const FramePtr&) { ++twice; });
    source.add_fanout(remover);
    source.add_fanout(thrower);
    source.add_fanout(removable);
    source.add_fanout(make_frame_callback([&](const FramePtr&) { ++good; }));
    source.add_fanout(counted);
    source.add_fanout(counted);
    source.remove_fanout(make_frame_callback([](const FramePtr&) {}));  // not registered: ignored
    source.open();
    ASSERT_TRUE(wait_until([&] { return log.count("camera pump: demux ended (EOF)") > 0; }));
    source.close();
    EXPECT_EQ(good.load(), 12);
    EXPECT_EQ(twice.load(), 24);
    EXPECT_EQ(removed_calls.load(), 1);  // it still received the frame during which it was removed
    EXPECT_EQ(log.count("fanout callback raised (non-fatal)", spdlog::level::err), 12u);
}

// ----------------------------------------------------------- pump errors

TEST_F(LiveCaptureTest, PumpErrorsEndThePumpWithTheirMessages) {
    struct Case {
        const char* name;
        std::function<void()> fail;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"crash", [] { throw std::runtime_error("boom"); }, "camera pump thread crashed"},
        {"index error", [] { throw std::out_of_range("index"); },
         "camera pump thread: unexpected demux error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log(CHANNEL);
        use_file(stereo_mkv, "matroska");
        backend->on_trim = c.fail;
        LiveCapture source(camera(), stereo());
        source.open();
        ASSERT_TRUE(wait_until([&] { return log.count(c.message) > 0; }));
        EXPECT_EQ(log.count(c.message, spdlog::level::err), 1u);
        EXPECT_FALSE(source.grab(0.05));  // the pump has ended; the source stays open
        EXPECT_EQ(log.count("camera pump: demux ended (EOF)"), 0u);
        source.close();
        EXPECT_EQ(log.records().size(), 1u);
        backend->on_trim = nullptr;
    }
}

TEST_F(LiveCaptureTest, DemuxErrorOfTheInputIsACrash) {
    // A pipe whose writer vanishes mid-frame with a read timeout set: the
    // protocol reports a timeout, which is neither EOF nor would-block.
    LogCapture log(CHANNEL);
    Pipe pipe;
    pipe.write(small_jpeg(4));
    backend->args = {pipe.url(), "mjpeg", {{"rw_timeout", "100000"}}};
    LiveCapture source(camera());
    source.open();
    ASSERT_TRUE(wait_until([&] { return !log.records().empty(); }));
    source.close();
    EXPECT_EQ(log.count("camera pump thread crashed", spdlog::level::err), 1u);
}

// ------------------------------------------------------------- lifetime

TEST_F(LiveCaptureTest, DestroyedWhileAFanoutCallbackBlocks) {
    LogCapture log(CHANNEL);
    use_file(stereo_mkv, "matroska");
    auto gate = std::make_shared<std::atomic<bool>>(false);
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    {
        LiveCapture source(camera(), stereo());
        source.add_fanout(make_frame_callback([gate, calls, finished](const FramePtr&) {
            ++*calls;
            while (!gate->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            finished->store(true);
        }));
        source.open();
        ASSERT_TRUE(wait_until([&] { return calls->load() == 1; }));
        // Destructor: close() gives the pump 2 s, then leaves it behind.
    }
    gate->store(true);
    ASSERT_TRUE(wait_until([&] { return finished->load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the pump winds down
    EXPECT_EQ(calls->load(), 1);  // the source is gone: no further fan-out
}

TEST_F(LiveCaptureTest, CloseOrDestructionOnThePumpThreadReturnsAtOnce) {
    // A fan-out callback (the pump's own thread) closes or destroys the
    // source: the pump cannot be joined from itself, so neither may wait.
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destruction" : "close()");
        use_file(stereo_mkv, "matroska");
        auto source = std::make_unique<LiveCapture>(camera(), stereo());
        auto opened = std::make_shared<std::atomic<bool>>(false);
        auto calls = std::make_shared<std::atomic<int>>(0);
        auto took = std::make_shared<std::atomic<double>>(-1.0);
        std::unique_ptr<LiveCapture>* holder = &source;
        source->add_fanout(make_frame_callback([=](const FramePtr&) {
            if (++*calls > 1) return;
            while (!opened->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const auto before = Clock::now();
            if (destroy) {
                holder->reset();
            } else {
                (*holder)->close();
            }
            took->store(seconds_since(before));
        }));
        source->open();
        opened->store(true);
        ASSERT_TRUE(wait_until([&] { return took->load() >= 0; }));
        EXPECT_LT(took->load(), 1.0);  // not held up to the 2 s join limit
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(calls->load(), 1);  // the pump ended after that frame
        if (!destroy) {
            EXPECT_THROW(source->grab(0.01), RuntimeError);
            source->open();  // the pump left behind does not stand in the way
            EXPECT_TRUE(source->grab(10.0));
            source->close();
        }
    }
}

TEST_F(LiveCaptureTest, AtEndOnlyOnceThePumpEndedByItselfWhileOpen) {
    struct Case {
        const char* name;
        std::function<void()> on_trim;
        bool blocking_input;  ///< a pipe that never completes a frame: the pump reads on
        bool ends;
    };
    const std::vector<Case> cases = {
        {"end of stream", nullptr, false, true},
        {"pump error", [] { throw std::runtime_error("boom"); }, false, true},
        {"still reading", nullptr, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log(CHANNEL);
        Pipe pipe;
        if (c.blocking_input) {
            pipe.write(small_jpeg(1));  // one frame, whose end the parser cannot see yet
            backend->args = {pipe.url(), "mjpeg", {}};
        } else {
            use_file(stereo_mkv, "matroska");
        }
        backend->on_trim = c.on_trim;
        LiveCapture source(camera(), stereo());
        EXPECT_FALSE(source.at_end());
        source.open();
        if (c.ends) {
            ASSERT_TRUE(wait_until([&] { return source.at_end(); }));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            EXPECT_FALSE(source.at_end());
        }
        source.close();
        EXPECT_FALSE(source.at_end());  // a closed source is not at its end: it may open again
        backend->on_trim = nullptr;
    }
}

}  // namespace live_capture_test
}  // namespace kelvo
