#include "capture/PcapngWriter.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace capture {

namespace {

constexpr std::uint32_t sectionHeaderBlock = 0x0A0D0D0A;
constexpr std::uint32_t interfaceDescriptionBlock = 1;
constexpr std::uint32_t enhancedPacketBlock = 6;
constexpr std::uint32_t byteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t linkTypeEthernet = 1;
constexpr std::uint32_t snapLength = 262144;

void appendBytes(std::vector<std::uint8_t>& out, const void* data, std::size_t size) {
  const std::size_t at = out.size();
  out.resize(at + size);
  if (size != 0) std::memcpy(out.data() + at, data, size);
}

template <typename T>
void append(std::vector<std::uint8_t>& out, T value) {
  appendBytes(out, &value, sizeof(T));
}

void pad(std::vector<std::uint8_t>& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

void option(std::vector<std::uint8_t>& out, std::uint16_t code, const void* value, std::size_t size) {
  append<std::uint16_t>(out, code);
  append<std::uint16_t>(out, static_cast<std::uint16_t>(size));
  appendBytes(out, value, size);
  pad(out);
}

void endOfOptions(std::vector<std::uint8_t>& out) { append<std::uint32_t>(out, 0); }

// Starts a block: type and a length that finish() fills in.
void begin(std::vector<std::uint8_t>& out, std::uint32_t type) {
  out.clear();
  append(out, type);
  append<std::uint32_t>(out, 0);
}

void finish(std::vector<std::uint8_t>& out) {
  const auto length = static_cast<std::uint32_t>(out.size() + 4);
  std::memcpy(out.data() + 4, &length, 4);
  append(out, length);
}

std::string systemText() { return std::strerror(errno); }

}  // namespace

PcapngWriter::PcapngWriter(const std::string& path, const std::string& application) : path_(path) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) throw std::runtime_error("cannot create " + path + ": " + systemText());
  begin(block_, sectionHeaderBlock);
  append(block_, byteOrderMagic);
  append<std::uint16_t>(block_, 1);  // version 1.0
  append<std::uint16_t>(block_, 0);
  append<std::int64_t>(block_, -1);                           // section length not given
  option(block_, 4, application.data(), application.size());  // shb_userappl
  endOfOptions(block_);
  finish(block_);
  put(block_.data(), block_.size());

  begin(block_, interfaceDescriptionBlock);
  append(block_, linkTypeEthernet);
  append<std::uint16_t>(block_, 0);
  append(block_, snapLength);
  const std::string name = "varnel";
  option(block_, 2, name.data(), name.size());  // if_name
  const std::uint8_t nanoseconds = 9;
  option(block_, 9, &nanoseconds, 1);  // if_tsresol: 10^-9 s
  endOfOptions(block_);
  finish(block_);
  put(block_.data(), block_.size());
}

PcapngWriter::~PcapngWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

void PcapngWriter::write(std::int64_t timeNs, std::span<const std::uint8_t> head,
                         std::span<const std::uint8_t> tail) {
  const std::size_t size = head.size() + tail.size();
  const std::size_t padding = (4 - size % 4) % 4;
  const auto length = static_cast<std::uint32_t>(28 + size + padding + 4);
  block_.clear();
  append(block_, enhancedPacketBlock);
  append(block_, length);
  append<std::uint32_t>(block_, 0);  // interface
  const auto time = static_cast<std::uint64_t>(timeNs);
  append(block_, static_cast<std::uint32_t>(time >> 32));
  append(block_, static_cast<std::uint32_t>(time));
  append(block_, static_cast<std::uint32_t>(size));
  append(block_, static_cast<std::uint32_t>(size));
  appendBytes(block_, head.data(), head.size());
  put(block_.data(), block_.size());
  put(tail.data(), tail.size());
  block_.clear();
  block_.resize(padding);
  append(block_, length);
  put(block_.data(), block_.size());
}

void PcapngWriter::put(const void* data, std::size_t size) {
  if (file_ == nullptr) throw std::runtime_error("write to " + path_ + " after it was closed");
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) {
    throw std::runtime_error("cannot write " + path_ + ": " + systemText());
  }
  size_ += size;
}

void PcapngWriter::flush() {
  if (file_ != nullptr && std::fflush(file_) != 0) {
    throw std::runtime_error("cannot write " + path_ + ": " + systemText());
  }
  flushedSize_ = size_;
}

void PcapngWriter::close() {
  if (file_ == nullptr) return;
  std::FILE* file = file_;
  file_ = nullptr;
  const bool flushed = std::fflush(file) == 0;
  const int error = errno;
  if (std::fclose(file) != 0 || !flushed) {
    errno = flushed ? errno : error;
    throw std::runtime_error("cannot write " + path_ + ": " + systemText());
  }
  flushedSize_ = size_;
}

}  // namespace capture
