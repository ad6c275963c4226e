#pragma once

// Reads the frames of a pcap or pcapng file through libpcap. Builds
// without libpcap (Windows, and cross builds without the target's libpcap)
// have no reader: available() is false there and read() throws.

#include <cstdint>
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
  int linkType = 0;  // libpcap's DLT_ value
  std::vector<CapturedFrame> frames;
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
};

}  // namespace capture
