// The platform camera layer: how a live source opens a camera through the
// FFmpeg device input of the running operating system, and the separate
// handle through which it reads and changes camera controls.
//
// A back-end is stateless from the source's point of view: the source asks it
// for the open arguments, the delivered pixel format, a control handle, the
// bytes to keep of each packet and the clock its timestamps are on. The host
// may install its own back-end (see platform.hpp); FFmpeg types never appear
// here so that one can be written without FFmpeg's headers.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kelvo/cameras/camera_spec.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/export.hpp"

namespace kelvo {

/// The device at a path is another unit than the camera identity says.
class KELVO_API CameraSerialMismatch : public RuntimeError {
  public:
    using RuntimeError::RuntimeError;
};

/// How to open a camera with libavformat: the input URL (device name), the
/// name of the FFmpeg input format and the demuxer options. The options name
/// the pixel format, frame size and frame rate explicitly so nothing is probed.
struct AvOpenArgs {
    std::string url;
    std::string input_format;
    std::map<std::string, std::string> options;
};

/// What the opened stream says about itself (its codec parameters).
struct StreamCodecParameters {
    std::string codec_name;    ///< FFmpeg codec name: "mjpeg", "rawvideo", ...
    std::string pixel_format;  ///< FFmpeg pixel format name ("yuyv422"), empty when unknown
    std::uint32_t codec_tag = 0;
    int width = 0;  ///< 0 when the stream does not know it yet
    int height = 0;
};

/// A camera-control handle, separate from the device handle FFmpeg holds.
/// Controls are named by their canonical catalogue names ("exposure", ...).
/// Implementations must be safe to call from several threads.
class KELVO_API CameraControls {
  public:
    virtual ~CameraControls();
    /// The control's current value.
    virtual double get(const std::string& name) = 0;
    virtual void set(const std::string& name, double value) = 0;
    /// Releases the handle; later calls fail. Calling it again does nothing.
    virtual void close() = 0;
};

class KELVO_API PlatformBackend {
  public:
    virtual ~PlatformBackend();

    virtual AvOpenArgs av_open_args(const std::string& os_id, const CaptureMode& mode) const = 0;
    /// The fourcc the stream really delivers ("MJPG", "YUYV", ...); `requested`
    /// is the mode's fourcc in upper case.
    virtual std::string detect_fourcc(const std::string& requested,
                                      const StreamCodecParameters& codec) const = 0;
    /// Opens the control handle of the device at `os_id`. Raises
    /// CameraSerialMismatch when the device reports a serial other than
    /// `serial` (an empty `serial` is not checked).
    virtual std::unique_ptr<CameraControls> open_controls(const std::string& os_id,
                                                          const std::string& serial) = 0;
    /// The bytes of one packet to keep as the frame payload, for a stream of
    /// `width` x `height`. Takes the packet's bytes by value so a back-end can
    /// cut them in place.
    virtual std::vector<std::uint8_t> trim_payload(std::vector<std::uint8_t> data, int width,
                                                   int height) const = 0;
    /// Names the clock of the packet timestamps ("linux_monotonic").
    virtual std::string clock_domain() const = 0;
};

}  // namespace kelvo
