// The Linux parts of the V4L2 back-end: the USB identity of a video node
// from sysfs, and camera controls through V4L2 ioctls on a handle of its own.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "kelvo/cameras.hpp"
#include "kelvo/log.hpp"
#include "kelvo/platform.hpp"

namespace kelvo {
namespace fs = std::filesystem;

namespace {

// Canonical catalogue names to V4L2 control ids. Exposure is the absolute
// control, whose unit (100 us) is the catalogue's.
constexpr std::array<std::pair<const char*, std::uint32_t>, 13> V4L2_CONTROL_IDS = {{
    {"auto_exposure", V4L2_CID_EXPOSURE_AUTO},
    {"exposure", V4L2_CID_EXPOSURE_ABSOLUTE},
    {"gain", V4L2_CID_GAIN},
    {"brightness", V4L2_CID_BRIGHTNESS},
    {"contrast", V4L2_CID_CONTRAST},
    {"saturation", V4L2_CID_SATURATION},
    {"hue", V4L2_CID_HUE},
    {"gamma", V4L2_CID_GAMMA},
    {"sharpness", V4L2_CID_SHARPNESS},
    {"white_balance_auto", V4L2_CID_AUTO_WHITE_BALANCE},
    {"white_balance", V4L2_CID_WHITE_BALANCE_TEMPERATURE},
    {"power_line_frequency", V4L2_CID_POWER_LINE_FREQUENCY},
    {"backlight_compensation", V4L2_CID_BACKLIGHT_COMPENSATION},
}};

std::string read_attribute(const fs::path& path) {
    std::ifstream in(path);
    if (!in) return {};
    std::string text;
    std::getline(in, text, '\0');
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' ||
                             text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

int retry_ioctl(int fd, unsigned long request, void* arg) {
    int rc;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

/// open(2), retried while a signal interrupts it; -1 with errno set on failure.
int retry_open(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

/// The node name ("video0") of a device path, following symlinks such as
/// /dev/v4l/by-id/... when they resolve.
std::string node_name(const std::string& os_id) {
    std::error_code ec;
    fs::path path(os_id);
    const fs::path resolved = fs::canonical(path, ec);
    return (ec ? path : resolved).filename().string();
}

class V4l2Controls final : public CameraControls {
  public:
    V4l2Controls(std::string path, int fd) : _path(std::move(path)), _fd(fd) {}
    ~V4l2Controls() override { close(); }

    double get(const std::string& name) override {
        const std::uint32_t id = control_id(name);
        std::lock_guard lock(_mutex);
        check_open();
        v4l2_control control{};
        control.id = id;
        if (retry_ioctl(_fd, VIDIOC_G_CTRL, &control) < 0) {
            throw RuntimeError(fmt::format("cannot read camera control '{}' of {}: {}", name, _path,
                                           std::strerror(errno)));
        }
        return control.value;
    }

    void set(const std::string& name, double value) override {
        const std::uint32_t id = control_id(name);
        if (!std::isfinite(value) || value < std::numeric_limits<std::int32_t>::min() ||
            value > std::numeric_limits<std::int32_t>::max()) {
            throw std::invalid_argument(
                fmt::format("camera control '{}' cannot take the value {}", name, value));
        }
        std::lock_guard lock(_mutex);
        check_open();
        v4l2_control control{};
        control.id = id;
        control.value = static_cast<std::int32_t>(std::lround(value));
        if (retry_ioctl(_fd, VIDIOC_S_CTRL, &control) < 0) {
            throw RuntimeError(fmt::format("cannot set camera control '{}' of {} to {}: {}", name,
                                           _path, control.value, std::strerror(errno)));
        }
    }

    void close() override {
        std::lock_guard lock(_mutex);
        if (_fd >= 0) ::close(_fd);
        _fd = -1;
    }

  private:
    static std::uint32_t control_id(const std::string& name) {
        auto id = detail::v4l2_control_id(name);
        if (!id) throw std::invalid_argument(fmt::format("unknown camera control '{}'", name));
        return *id;
    }
    void check_open() const {
        if (_fd < 0) throw RuntimeError(fmt::format("camera controls of {} are closed", _path));
    }

    const std::string _path;
    std::mutex _mutex;
    int _fd;  ///< guarded by `_mutex`
};

}  // namespace

std::optional<UsbIdentity> usb_identity_of(const std::string& sysfs_class_dir,
                                           const std::string& node) {
    std::error_code ec;
    fs::path dir = fs::canonical(fs::path(sysfs_class_dir) / node / "device", ec);
    if (ec) return std::nullopt;
    // The video node hangs off a USB interface; the USB device is the first
    // ancestor that has vendor and product ids.
    for (int depth = 0; depth < 8 && !dir.empty(); ++depth) {
        if (fs::exists(dir / "idVendor", ec) && fs::exists(dir / "idProduct", ec)) {
            UsbIdentity id;
            id.vendor_id = read_attribute(dir / "idVendor");
            id.product_id = read_attribute(dir / "idProduct");
            id.serial = read_attribute(dir / "serial");
            id.product = read_attribute(dir / "product");
            id.manufacturer = read_attribute(dir / "manufacturer");
            return id;
        }
        if (dir == dir.parent_path()) break;
        dir = dir.parent_path();
    }
    return std::nullopt;
}

std::unique_ptr<CameraControls> V4l2Backend::open_controls(const std::string& os_id,
                                                           const std::string& serial) {
    if (!serial.empty()) {
        auto identity = usb_identity_of(_paths.sysfs_class_dir, node_name(os_id));
        if (identity && !identity->serial.empty() && identity->serial != serial) {
            throw CameraSerialMismatch(fmt::format("camera at {} reports serial {}, expected {}",
                                                   os_id, repr(identity->serial), repr(serial)));
        }
    }
    const int fd = retry_open(os_id, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw RuntimeError(
            fmt::format("cannot open camera controls of {}: {}", os_id, std::strerror(errno)));
    }
    v4l2_capability caps{};
    if (retry_ioctl(fd, VIDIOC_QUERYCAP, &caps) < 0) {
        const int error = errno;
        ::close(fd);
        throw RuntimeError(fmt::format("{} is not a V4L2 device: {}", os_id, std::strerror(error)));
    }
    return std::make_unique<V4l2Controls>(os_id, fd);
}

namespace detail {

std::optional<std::uint32_t> v4l2_control_id(const std::string& name) {
    for (const auto& [known, id] : V4L2_CONTROL_IDS) {
        if (name == known) return id;
    }
    return std::nullopt;
}

bool v4l2_is_capture_device(const std::string& device_path) {
    const int fd = retry_open(device_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    v4l2_capability caps{};
    const bool ok = retry_ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0;
    ::close(fd);
    if (!ok) return false;
    const std::uint32_t offered =
        (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    return (offered & V4L2_CAP_VIDEO_CAPTURE) != 0;
}

}  // namespace detail
}  // namespace kelvo
