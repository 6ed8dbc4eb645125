// The platform layer (V4L2 back-end helpers, control table, back-end
// replacement), camera discovery over a prepared sysfs tree, and the
// dictionary form of a connected camera's identity.
#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/cameras.hpp"
#include "kelvo/cameras/kelvo_corvan.hpp"
#include "kelvo/cameras/kelvo_fenwa.hpp"
#include "kelvo/platform.hpp"
#include "kelvo/sources/base.hpp"
#include "support/test_paths.hpp"

namespace kelvo {
namespace {
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const std::string CORVAN_SKU = "STEREO-CAMERA-CORVAN-REGULAR-WIDE-21";
const std::string FENWA_SKU = "STEREO-CAMERA-FENWA-NARROW-21";

Bytes encode_jpeg(int width, int height) {
    cv::Mat image(height, width, CV_8UC3);
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(255));  // busy data: many 0xFF bytes
    Bytes out;
    cv::imencode(".jpg", image, out, {cv::IMWRITE_JPEG_QUALITY, 95});
    return out;
}

/// A JPEG with an APP1 segment that carries a complete embedded JPEG (as an
/// EXIF thumbnail does), inserted right after SOI.
Bytes with_thumbnail_segment(const Bytes& jpeg, const Bytes& thumbnail) {
    const std::size_t length = thumbnail.size() + 2;
    const std::uint8_t head[] = {0xFF,
                                 0xD8,
                                 0xFF,
                                 0xE1,
                                 static_cast<std::uint8_t>(length >> 8),
                                 static_cast<std::uint8_t>(length & 0xFF)};
    Bytes out(std::begin(head), std::end(head));
    out.reserve(jpeg.size() + length + 2);
    for (std::uint8_t b : thumbnail) out.push_back(b);
    for (std::size_t k = 2; k < jpeg.size(); ++k) out.push_back(jpeg[k]);
    return out;
}

// ---------------------------------------------------------------- trimming

TEST(TrimPayload, MjpegIsCutAfterItsEndOfImage) {
    const V4l2Backend backend;
    const Bytes jpeg = encode_jpeg(320, 180);
    const Bytes thumbnail = encode_jpeg(16, 8);
    const Bytes with_thumb = with_thumbnail_segment(jpeg, thumbnail);
    // Stale tail of an older, larger frame: contains its own end-of-image marker.
    Bytes stale = encode_jpeg(64, 32);
    struct Case {
        const char* name;
        Bytes image;
        Bytes tail;
    };
    const std::vector<Case> cases = {
        {"no padding", jpeg, {}},
        {"zero padding", jpeg, Bytes(5000, 0)},
        {"stale frame after the image", jpeg, stale},
        {"embedded thumbnail", with_thumb, Bytes(100, 0)},
        {"0xFF fill after the image", jpeg, Bytes(64, 0xFF)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes packet = c.image;
        packet.insert(packet.end(), c.tail.begin(), c.tail.end());
        const Bytes kept = backend.trim_payload(packet, 320, 180);
        EXPECT_EQ(kept, c.image);
        EXPECT_EQ(decode_to_bgr("MJPG", kept, 320, 180).size(), cv::Size(320, 180));
    }
}

TEST(TrimPayload, YuyvIsCutToTheFrameSize) {
    const V4l2Backend backend;
    const int w = 8, h = 4;
    const std::size_t frame = static_cast<std::size_t>(w) * h * 2;
    Bytes looks_like_jpeg(frame + 10, 0x80);  // a YUYV frame that starts with FF D8 FF E0
    looks_like_jpeg[0] = 0xFF;
    looks_like_jpeg[1] = 0xD8;
    looks_like_jpeg[2] = 0xFF;
    looks_like_jpeg[3] = 0xE0;
    struct Case {
        const char* name;
        Bytes packet;
        std::size_t expected;
    };
    const std::vector<Case> cases = {
        {"exact", Bytes(frame, 7), frame},
        {"padded", Bytes(frame + 100, 7), frame},
        {"short frame kept whole", Bytes(frame - 2, 7), frame - 2},
        {"SOI-like start", looks_like_jpeg, frame},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes kept = backend.trim_payload(c.packet, w, h);
        ASSERT_EQ(kept.size(), c.expected);
        EXPECT_TRUE(std::equal(kept.begin(), kept.end(), c.packet.begin()));
    }
    // A JPEG cut short has no end-of-image marker and is not taken for one.
    Bytes truncated = encode_jpeg(64, 32);
    truncated.resize(truncated.size() / 2);
    EXPECT_FALSE(detail::jpeg_image_length(truncated));
    // Zero size leaves the payload alone.
    EXPECT_EQ(backend.trim_payload(Bytes(50, 1), 0, 0).size(), 50u);
    EXPECT_TRUE(backend.trim_payload({}, 8, 4).empty());
}

TEST(TrimPayload, JpegLengthWalksSegmentsAndEntropyData) {
    // SOI, DQT-like segment holding FF D9, SOS, entropy data with stuffing and
    // a restart marker, then EOI and junk.
    const Bytes data = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x04, 0xFF, 0xD9, 0xFF,
                        0xDA, 0x00, 0x02, 0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0,
                        0x56, 0xFF, 0xFF, 0xD9, 0x00, 0xFF, 0xD9};
    auto length = detail::jpeg_image_length(data);
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, 22u);
    EXPECT_FALSE(detail::jpeg_image_length(Bytes{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x40}));
    EXPECT_FALSE(detail::jpeg_image_length(Bytes{0x00, 0xD8, 0xFF, 0xD9}));
}

// ---------------------------------------------------------- fourcc and args

TEST(V4l2Backend, DetectsTheDeliveredFourcc) {
    const V4l2Backend backend;
    struct Case {
        StreamCodecParameters codec;
        std::string requested;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"mjpeg", "yuvj422p", 0, 2560, 720}, "MJPG", "MJPG"},
        {{"mjpeg", "", 0, 0, 0}, "YUYV", "MJPG"},
        {{"rawvideo", "yuyv422", 0, 1280, 720}, "MJPG", "YUYV"},
        {{"rawvideo", "yuyv422", 0, 1280, 720}, "YUYV", "YUYV"},
        {{"rawvideo", "nv12", 0, 1280, 720}, "YUYV", "NV12"},
        {{"h264", "", 0, 1280, 720}, "MJPG", "H264"},
        {{"rawvideo", "", 0x32595559, 1280, 720}, "MJPG", "YUY2"},
        {{"", "", 0, 0, 0}, "MJPG", "MJPG"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec.codec_name + "/" + c.codec.pixel_format);
        EXPECT_EQ(backend.detect_fourcc(c.requested, c.codec), c.expected);
    }
    EXPECT_EQ(backend.clock_domain(), "linux_monotonic");
}

TEST(V4l2Backend, OpenArgumentsNameFormatSizeAndRate) {
    const V4l2Backend backend;
    struct Case {
        CaptureMode mode;
        std::string input_format, video_size, framerate;
    };
    const std::vector<Case> cases = {
        {CaptureMode(2560, 720, 30, "MJPG", true), "mjpeg", "2560x720", "30"},
        {CaptureMode(1280, 720, 7.5, "YUYV", false), "yuyv422", "1280x720", "7.5"},
        {CaptureMode(640, 360, 5, "yuyv", false), "yuyv422", "640x360", "5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode.slug());
        const AvOpenArgs args = backend.av_open_args("/dev/video4", c.mode);
        EXPECT_EQ(args.url, "/dev/video4");
        EXPECT_EQ(args.input_format, "video4linux2");
        EXPECT_EQ(args.options.at("input_format"), c.input_format);
        EXPECT_EQ(args.options.at("video_size"), c.video_size);
        EXPECT_EQ(args.options.at("framerate"), c.framerate);
        EXPECT_EQ(args.options.at("timestamps"), "default");
    }
    EXPECT_THROW(backend.av_open_args("/dev/video0", CaptureMode(640, 360, 30, "H264", false)),
                 std::invalid_argument);
}

TEST(V4l2Backend, FrameRateText) {
    const std::vector<std::pair<double, std::string>> cases = {
        {30, "30"}, {7.5, "7.5"}, {5, "5"}, {30000.0 / 1001, "30000/1001"}, {12.25, "12.25"}};
    for (const auto& [fps, text] : cases) EXPECT_EQ(detail::frame_rate_text(fps), text);
    EXPECT_THROW(detail::frame_rate_text(0), std::invalid_argument);
    EXPECT_THROW(detail::frame_rate_text(-1), std::invalid_argument);
}

TEST(V4l2Backend, EveryCatalogueControlHasItsOwnV4l2Id) {
    std::set<std::uint32_t> ids;
    for (const auto& control : *KELVO_CORVAN.controls) {
        auto id = detail::v4l2_control_id(control.name);
        ASSERT_TRUE(id) << control.name;
        ids.insert(*id);
    }
    EXPECT_EQ(ids.size(), KELVO_CORVAN.controls->size());
    for (const auto& control : *KELVO_CORVAN.windows_controls) {
        EXPECT_TRUE(detail::v4l2_control_id(control.name)) << control.name;
    }
    EXPECT_FALSE(detail::v4l2_control_id("Exposure"));
    EXPECT_FALSE(detail::v4l2_control_id(""));
}

// ------------------------------------------------------- back-end in force

class CountingBackend : public V4l2Backend {
  public:
    std::string clock_domain() const override { return "host_clock"; }
};

TEST(CurrentBackend, HostMayReplaceItAndRestoreThePlatformOne) {
    auto native = current_backend();
    ASSERT_TRUE(native);
    EXPECT_EQ(native->clock_domain(), "linux_monotonic");
    EXPECT_EQ(current_backend(), native);  // one instance

    auto mine = std::make_shared<CountingBackend>();
    set_current_backend(mine);
    EXPECT_EQ(current_backend(), mine);
    EXPECT_EQ(current_backend()->clock_domain(), "host_clock");
    set_current_backend(nullptr);
    EXPECT_EQ(current_backend(), native);
}

// ------------------------------------------------------ sysfs and discovery

/// A sysfs-like tree: USB devices with interfaces and video nodes, and the
/// class directory of symlinks that the kernel keeps.
class FakeSysfs {
  public:
    FakeSysfs() : _dir("sysfs") {
        fs::create_directories(class_dir());
        fs::create_directories(dev_dir());
    }

    std::string class_dir() const { return (_dir.path() / "class" / "video4linux").string(); }
    std::string dev_dir() const { return (_dir.path() / "dev").string(); }

    /// Adds a USB device `usb` (e.g. "1-1") with these attributes; an empty
    /// serial leaves the attribute out.
    void add_usb_device(const std::string& usb, const std::string& product,
                        const std::string& serial) {
        const fs::path dir = usb_dir(usb);
        fs::create_directories(dir);
        write(dir / "idVendor", "1d6b\n");
        write(dir / "idProduct", "0102\n");
        write(dir / "product", product + "\n");
        write(dir / "manufacturer", "Kelvo\n");
        if (!serial.empty()) write(dir / "serial", serial + "\n");
    }

    /// Adds video node `node` under interface 0 of USB device `usb`, or under
    /// a platform device when `usb` is empty. Creates the /dev entry too.
    void add_node(const std::string& node, const std::string& usb) {
        const fs::path parent = usb.empty() ? _dir.path() / "devices" / "platform" / "vivid"
                                            : usb_dir(usb) / (usb + ":1.0");
        const fs::path node_dir = parent / "video4linux" / node;
        fs::create_directories(node_dir);
        fs::create_directory_symlink(fs::relative(parent, node_dir), node_dir / "device");
        fs::create_directory_symlink(fs::relative(node_dir, class_dir()),
                                     fs::path(class_dir()) / node);
        write(fs::path(dev_dir()) / node, "");
    }

    V4l2Paths paths() const { return {class_dir(), dev_dir()}; }

  private:
    fs::path usb_dir(const std::string& usb) const {
        return _dir.path() / "devices" / "pci0000:00" / "usb1" / usb;
    }
    static void write(const fs::path& path, const std::string& text) {
        std::ofstream(path) << text;
    }
    testing::TempDir _dir;
};

TEST(Discovery, ResolvesCatalogueCamerasAndSkipsEverythingElse) {
    FakeSysfs sysfs;
    sysfs.add_usb_device("1-1", CORVAN_SKU, "SN-CORVAN");
    sysfs.add_node("video0", "1-1");
    sysfs.add_node("video1", "1-1");  // its metadata node
    sysfs.add_usb_device("1-2", "HD Webcam", "WEB1");
    sysfs.add_node("video2", "1-2");
    sysfs.add_usb_device("1-3", FENWA_SKU, "SN-FENWA");
    sysfs.add_node("video10", "1-3");
    sysfs.add_node("video11", "1-3");  // a second capture node of the same camera
    sysfs.add_node("video3", "");      // not a USB device
    sysfs.add_usb_device("1-4", CORVAN_SKU, "SN-META-ONLY");
    sysfs.add_node("video4", "1-4");

    std::vector<std::string> probed;
    detail::DiscoverySource source{sysfs.paths(), [&](const std::string& path) {
                                       probed.push_back(fs::path(path).filename().string());
                                       const auto name = fs::path(path).filename().string();
                                       return name != "video1" && name != "video4";
                                   }};
    const auto cameras = detail::list_kelvo_cameras(source);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0].os_id, sysfs.dev_dir() + "/video0");
    EXPECT_EQ(cameras[0].sku, CORVAN_SKU);
    EXPECT_EQ(cameras[0].serial, "SN-CORVAN");
    EXPECT_EQ(cameras[0].model_name, CORVAN_SKU);
    EXPECT_EQ(cameras[0].spec, spec_by_sku(CORVAN_SKU));
    EXPECT_FALSE(cameras[0].base_calibration);
    EXPECT_EQ(cameras[1].os_id, sysfs.dev_dir() + "/video10");  // numeric order, first node
    EXPECT_EQ(cameras[1].sku, FENWA_SKU);
    EXPECT_EQ(cameras[1].serial, "SN-FENWA");
    EXPECT_EQ(cameras[1].spec->default_mode(), KELVO_FENWA.default_mode());
    EXPECT_EQ(probed, (std::vector<std::string>{"video0", "video1", "video2", "video3", "video4",
                                                "video10", "video11"}));
}

TEST(Discovery, MissingClassDirectoryFindsNothing) {
    detail::DiscoverySource source{{"/nonexistent/sys/class/video4linux", "/nonexistent/dev"},
                                   [](const std::string&) { return true; }};
    EXPECT_TRUE(detail::list_kelvo_cameras(source).empty());
    // The machine's own devices: whatever is attached, an unknown serial is not among them.
    EXPECT_FALSE(get_connected_kelvo_camera_by_serial("no-such-serial-0000"));
    EXPECT_FALSE(get_connected_kelvo_camera_by_serial(""));
}

TEST(UsbIdentity, ReadsTheDeviceAboveTheInterface) {
    FakeSysfs sysfs;
    sysfs.add_usb_device("2-1", CORVAN_SKU, "ABC123");
    sysfs.add_node("video7", "2-1");
    sysfs.add_node("video8", "");
    auto id = usb_identity_of(sysfs.class_dir(), "video7");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->vendor_id, "1d6b");
    EXPECT_EQ(id->product_id, "0102");
    EXPECT_EQ(id->serial, "ABC123");
    EXPECT_EQ(id->product, CORVAN_SKU);
    EXPECT_EQ(id->manufacturer, "Kelvo");
    EXPECT_FALSE(usb_identity_of(sysfs.class_dir(), "video8"));
    EXPECT_FALSE(usb_identity_of(sysfs.class_dir(), "video99"));
}

TEST(V4l2Controls, SerialIsCheckedBeforeTheDeviceIsOpened) {
    FakeSysfs sysfs;
    sysfs.add_usb_device("3-1", CORVAN_SKU, "UNIT-A");
    sysfs.add_node("video0", "3-1");
    V4l2Backend backend(sysfs.paths());
    const std::string os_id = sysfs.dev_dir() + "/video0";  // a plain file, not a device

    try {
        backend.open_controls(os_id, "UNIT-B");
        FAIL() << "expected CameraSerialMismatch";
    } catch (const CameraSerialMismatch& e) {
        EXPECT_EQ(std::string(e.what()),
                  "camera at " + os_id + " reports serial 'UNIT-A', expected 'UNIT-B'");
    }
    // The right unit (or no serial to check) gets past the identity check and
    // then fails only because the node is not a V4L2 device.
    for (const std::string serial : {"UNIT-A", ""}) {
        try {
            backend.open_controls(os_id, serial);
            FAIL() << "a plain file has no V4L2 controls";
        } catch (const CameraSerialMismatch&) {
            FAIL() << "not a mismatch";
        } catch (const RuntimeError& e) {
            EXPECT_NE(std::string(e.what()).find("is not a V4L2 device"), std::string::npos);
        }
    }
    EXPECT_THROW(backend.open_controls(sysfs.dev_dir() + "/video55", ""), RuntimeError);
}

// -------------------------------------------------------- identity records

Json calibration_dict() {
    const Calibration::Camera eye{cv::Matx33d(500, 0, 320, 0, 500, 180, 0, 0, 1),
                                  {0.01, -0.02, 0, 0, 0}};
    const Calibration calibration({360, 640}, eye, eye, cv::Matx33d::eye(), cv::Vec3d(-0.06, 0, 0));
    return calibration.to_dict();
}

TEST(KelvoCameraInfo, DictionaryRoundTrip) {
    const Json dict = {{"os_id", "/dev/video2"},
                       {"sku", CORVAN_SKU},
                       {"model_name", "Kelvo Corvan"},
                       {"serial", "SN-9"},
                       {"base_calibration", calibration_dict()}};
    const KelvoCameraInfo info = KelvoCameraInfo::from_dict(dict);
    EXPECT_EQ(info.os_id, "/dev/video2");
    EXPECT_EQ(info.sku, CORVAN_SKU);
    EXPECT_EQ(info.spec, spec_by_sku(CORVAN_SKU));
    EXPECT_EQ(info.model_name, "Kelvo Corvan");
    EXPECT_EQ(info.serial, "SN-9");
    ASSERT_TRUE(info.base_calibration);
    EXPECT_EQ(info.to_dict(), dict);
    std::vector<std::string> keys;
    const Json written = info.to_dict();
    for (auto it = written.begin(); it != written.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"os_id", "sku", "model_name", "serial",
                                              "base_calibration"}));

    const KelvoCameraInfo minimal = KelvoCameraInfo::from_dict({{"os_id", "x"}, {"sku", "OTHER"}});
    EXPECT_FALSE(minimal.spec);
    EXPECT_FALSE(minimal.base_calibration);
    EXPECT_TRUE(minimal.serial.empty());
    EXPECT_TRUE(minimal.to_dict()["base_calibration"].is_null());
}

TEST(KelvoCameraInfo, MalformedRecordsAreRejected) {
    EXPECT_THROW(KelvoCameraInfo::from_dict(Json("text")), TypeError);
    EXPECT_THROW(KelvoCameraInfo::from_dict(Json::array()), TypeError);
    const std::vector<std::pair<const char*, Json>> bad = {
        {"no os_id", {{"sku", CORVAN_SKU}}},
        {"numeric serial", {{"os_id", "/dev/video0"}, {"serial", 7}}},
        {"sku list", {{"os_id", "/dev/video0"}, {"sku", Json::array()}}},
        {"broken calibration", {{"os_id", "/dev/video0"}, {"base_calibration", {{"R", 1}}}}},
    };
    for (const auto& [name, dict] : bad) {
        SCOPED_TRACE(name);
        EXPECT_THROW(KelvoCameraInfo::from_dict(dict), std::invalid_argument);
    }
}

}  // namespace
}  // namespace kelvo
