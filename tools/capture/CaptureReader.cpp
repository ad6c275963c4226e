#include "capture/CaptureReader.hpp"

#if defined(VARNEL_HAVE_PCAP)
#include <pcap/pcap.h>
#endif

namespace capture {

#if defined(VARNEL_HAVE_PCAP)

bool CaptureReader::available() { return true; }

CaptureFile CaptureReader::read(const std::string& path) {
  char error[PCAP_ERRBUF_SIZE] = {};
  pcap_t* handle = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
  if (handle == nullptr) throw CaptureError(error);
  struct Closer {
    pcap_t* handle;
    ~Closer() { pcap_close(handle); }
  } closer{handle};
  CaptureFile file;
  file.linkType = pcap_datalink(handle);
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int result = pcap_next_ex(handle, &header, &data);
    if (result == PCAP_ERROR_BREAK) break;  // the end of the file
    if (result != 1) {
      file.truncated = pcap_geterr(handle);
      break;
    }
    CapturedFrame frame;
    // With nanosecond precision libpcap puts the nanoseconds in tv_usec.
    frame.timeNs = static_cast<std::int64_t>(header->ts.tv_sec) * 1000000000 + header->ts.tv_usec;
    frame.wireLength = header->len;
    frame.bytes.assign(data, data + header->caplen);
    file.frames.push_back(std::move(frame));
  }
  return file;
}

#else

bool CaptureReader::available() { return false; }

CaptureFile CaptureReader::read(const std::string&) {
  throw CaptureError("this build reads no captures (it was built without libpcap)");
}

#endif

}  // namespace capture
