#pragma once

// Reads the frames of a pcap or pcapng file through libpcap. Builds
// without libpcap (Windows, and cross builds without the target's libpcap)
// have no reader: available() is false there and read() throws.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace capture {

/// One frame as captured: possibly fewer bytes than were on the wire.
struct CapturedFrame {
  std::int64_t timeNs = 0;  // nanoseconds since 1970, UTC
  std::uint32_t wireLength = 0;
  std::vector<std::uint8_t> bytes;
};

struct CaptureFile {
  int linkType = 0;                   // libpcap's DLT_ value
  std::vector<CapturedFrame> frames;  // empty when a sink took them
  std::uint64_t frameCount = 0;
  /// libpcap's text when the file ends inside a frame (the frames before it
  /// are read); empty for a complete file.
  std::string truncated;
};

/// A file that cannot be opened or is not a capture libpcap reads.
class CaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CaptureReader {
 public:
  /// Whether this build reads captures (was built with libpcap).
  static bool available();
  /// Every frame of the file at `path`. Throws CaptureError with libpcap's
  /// text for a file that cannot be opened or is not pcap or pcapng.
  static CaptureFile read(const std::string& path);
  /// The same, handing each frame to `sink` (with the file's link type) as
  /// it is read instead of keeping it: a capture of gigabytes is not held
  /// in memory. The frame passed is valid during the call only. What the
  /// sink throws ends the reading and is passed on.
  using FrameSink = std::function<void(int linkType, const CapturedFrame& frame)>;
  static CaptureFile read(const std::string& path, const FrameSink& sink);
};

}  // namespace capture
