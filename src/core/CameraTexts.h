#pragma once

#include <string>
#include <vector>

namespace talvex {

// A frame rate as people write it: "30", "7.5", "29.97" (at most two
// decimals, no trailing zeros).
std::string formatFrameRate(double fps);

// The camera's mode for session.json and the log: "mjpeg 1280x720 30fps",
// "yuyv 640x480 7.5fps". format is libavdevice's name for it (its
// input_format); an empty format or a rate of 0 (unknown) is left out.
std::string cameraModeText(const std::string& format, int width, int height, double fps);

// The step of starting a camera that failed. libavdevice's v4l2 input opens
// the node, sets the format, requests buffers and starts the stream inside
// one call and reports only the errno: that is `start`.
enum class CameraStep { openDevice, setFormat, requestBuffers, startStream, start };

// The line the user reads (to be logged after "Talvex: ") when a camera does
// not start: "cannot open '<camera>': <why>". error is the errno (for an
// FFmpeg result r of AVERROR(e), -r). othersOnBus: the cameras open on the
// same USB bus, when known. ENOSPC at the stream start is the USB bandwidth
// that bus has left (not a disk), EBUSY another program holding the camera,
// ENODEV a camera unplugged; anything else is strerror's text.
std::string cameraStartError(int error, CameraStep step, const std::string& camera,
                             const std::vector<std::string>& othersOnBus = {});

}  // namespace talvex
