#include "capture/CaptureReader.hpp"

#include <cstdint>
#include <limits>
#include <string>

#if defined(VARNEL_HAVE_PCAP)
#include <pcap/pcap.h>
#endif

namespace capture {

#if defined(VARNEL_HAVE_PCAP)

bool CaptureReader::available() { return true; }

CaptureFile CaptureReader::read(const std::string& path) {
  std::vector<CapturedFrame> frames;
  CaptureFile file = read(path, [&](int, const CapturedFrame& frame) { frames.push_back(frame); });
  file.frames = std::move(frames);
  return file;
}

CaptureFile CaptureReader::read(const std::string& path, const FrameSink& sink) {
  char error[PCAP_ERRBUF_SIZE] = {};
  pcap_t* handle = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
  if (handle == nullptr) throw CaptureError(error);
  struct Closer {
    pcap_t* handle;
    ~Closer() { pcap_close(handle); }
  } closer{handle};
  CaptureFile file;
  file.linkType = pcap_datalink(handle);
  CapturedFrame frame;  // its storage reused from frame to frame
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int result = pcap_next_ex(handle, &header, &data);
    if (result == PCAP_ERROR_BREAK) break;  // the end of the file
    if (result != 1) {
      file.truncated = pcap_geterr(handle);
      break;
    }
    // A time a 64-bit count of nanoseconds since 1970 cannot hold (before
    // 1970 or after 2262) is no capture's: the file is broken there.
    constexpr std::int64_t lastSecond = std::numeric_limits<std::int64_t>::max() / 1000000000 - 1;
    if (header->ts.tv_sec < 0 || static_cast<std::int64_t>(header->ts.tv_sec) > lastSecond) {
      file.truncated =
          "frame " + std::to_string(file.frameCount + 1) + " has a time stamp outside 1970 to 2262";
      break;
    }
    // With nanosecond precision libpcap puts the nanoseconds in tv_usec.
    frame.timeNs = static_cast<std::int64_t>(header->ts.tv_sec) * 1000000000 + header->ts.tv_usec;
    frame.wireLength = header->len;
    frame.bytes.assign(data, data + header->caplen);
    ++file.frameCount;
    sink(file.linkType, frame);
  }
  return file;
}

#else

bool CaptureReader::available() { return false; }

CaptureFile CaptureReader::read(const std::string&) {
  throw CaptureError("this build reads no captures (it was built without libpcap)");
}

CaptureFile CaptureReader::read(const std::string&, const FrameSink&) {
  throw CaptureError("this build reads no captures (it was built without libpcap)");
}

#endif

}  // namespace capture
