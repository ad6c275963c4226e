#pragma once

// Writes a pcapng file (the format libpcap, tcpdump, tshark and Wireshark
// read) of one Ethernet interface with timestamps in nanoseconds: a section
// header, an interface description, then one enhanced packet block per
// frame. Blocks are written in this machine's byte order, which the
// section header declares.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace capture {

class PcapngWriter {
 public:
  /// Creates (or replaces) `path` and writes the section header, naming
  /// `application` as the writer, and the interface. Throws
  /// std::runtime_error with the system's text when it cannot.
  PcapngWriter(const std::string& path, const std::string& application);
  /// Closes the file; a failure then goes unreported (see close).
  ~PcapngWriter();
  PcapngWriter(const PcapngWriter&) = delete;
  PcapngWriter& operator=(const PcapngWriter&) = delete;

  /// One frame captured at `timeNs` (nanoseconds since 1970, UTC). Throws
  /// std::runtime_error when the file cannot be written.
  void write(std::int64_t timeNs, std::span<const std::uint8_t> frame) { write(timeNs, frame, {}); }
  /// The same for a frame in two parts (headers, payload), which are not
  /// copied together first.
  void write(std::int64_t timeNs, std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail);
  /// Hands what is buffered to the system. Throws as write does.
  void flush();
  /// Flushes and closes; throws as write does. Nothing may follow.
  void close();
  /// Bytes written so far.
  std::uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  /// Bytes handed to the system by the last flush or close that succeeded:
  /// what the file surely holds.
  std::uint64_t flushedSize() const { return flushedSize_; }

 private:
  void put(const void* data, std::size_t size);

  std::string path_;
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t flushedSize_ = 0;
  std::vector<std::uint8_t> block_;  // reused
};

}  // namespace capture
