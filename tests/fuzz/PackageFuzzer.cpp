// Feeds arbitrary bytes through the package checks, the decode and the data
// stream, the way a board connection would: header read, header checks,
// body read, body checks, append, refill with the filler byte, and now and
// then a hand-over in which some packages are popped and the rest cleared.
//
// The input is a sequence of records, one per package:
//   1 byte   control: bit 0 header read failed, bit 1 body read failed,
//            bit 2 hand the stream over after this package,
//            bits 4-5 number of packages popped at a hand-over
//   1 byte   bytes the header read reports
//   36 bytes header
//   4 bytes  bytes the body read reports (little-endian)
//   n bytes  body, n = packageSize - 36 or whatever is left of the input
// A record that fails a check ends the input, as a failure ends a connection.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/VarnelExceptionImpl.hpp"
#include "stream/OstraDataStreamImpl.hpp"
#include "stream/PackageChecker.hpp"

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

namespace {

using PackageBuffer = std::array<std::uint8_t, package::bufferSize>;

// Packages at which the stream is handed over, as a connection's counter.
constexpr std::size_t packageCounter = 4;

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
  bool empty() const { return pos >= size; }
  std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return v;
  }
  // Copies up to `count` bytes to `out`, as far as the input reaches.
  void copy(std::uint8_t* out, std::size_t count) {
    const std::size_t n = count < size - pos ? count : size - pos;
    std::memcpy(out, data + pos, n);
    pos += n;
  }

 private:
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;
};

std::uint32_t le32(const PackageBuffer& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// Every operation a reader of a package may call, every sample touched.
std::uint64_t readAll(const mirt::OstraDataPackage& p) {
  std::uint64_t sum = p.getMetaData().headerValue;
  for (std::size_t c = 0; c < package::maxChannels; ++c) {
    for (std::uint32_t s : p.getWaveform(c)) sum += s;
  }
  for (std::size_t c = 0; c < p.getChannelCount(); ++c) sum += p.getWaveformType(c);
  bool refused = false;
  try {
    p.getWaveform(package::maxChannels);
  } catch (const mirt::VarnelException& e) {
    refused = e.getErrorCode() == mirt::VarnelException::GeneralError;
  }
  FUZZ_CHECK(refused);
  refused = false;
  try {
    p.getWaveformType(p.getChannelCount());
  } catch (const mirt::VarnelException& e) {
    refused = e.getErrorCode() == mirt::VarnelException::GeneralError;
  }
  FUZZ_CHECK(refused);
  return sum;
}

// The decoded package against the bytes it came from.
void verify(const mirt::OstraDataPackage& p, const PackageHeader& h, const PackageBuffer& b) {
  FUZZ_CHECK(p.getChannelCount() == h.channelCount);
  FUZZ_CHECK(p.getMetaData().headerValue == h.headerValue);
  FUZZ_CHECK(p.getMetaData().statusWord == h.statusWord);
  FUZZ_CHECK(p.getMetaData().word108 == le32(b, 108));
  const std::uint32_t perChannel = h.channelCount ? h.dataSize / h.channelCount / 4 : 0;
  FUZZ_CHECK(p.getSize() == perChannel);
  for (std::uint32_t c = 0; c < package::maxChannels; ++c) {
    const auto& w = p.getWaveform(c);
    if (c >= h.channelCount) {
      FUZZ_CHECK(w.empty());
      continue;
    }
    FUZZ_CHECK(p.getWaveformType(c) == h.waveformTypes[c]);
    FUZZ_CHECK(w.size() == perChannel);
    const std::size_t start = 128 + static_cast<std::size_t>(c) * h.dataSize / h.channelCount;
    for (std::size_t i = 0; i < w.size(); ++i) FUZZ_CHECK(w[i] == le32(b, start + 4 * i));
  }
}

// A failed check must carry a code of its own and a message.
void expectRefusal(const PackageRefusal& e) {
  FUZZ_CHECK(e.code == mirt::VarnelException::CommunicationError ||
             e.code == mirt::VarnelException::VersionMismatch);
  FUZZ_CHECK(std::strlen(e.what()) > 0);
}

PackageReader whole(const PackageBuffer& buffer) { return PackageReader(buffer.data(), buffer.size()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  bool versionVerified = false;  // one input is one connection
  auto buffer = std::make_unique<PackageBuffer>();
  buffer->fill(package::fillerByte);
  OstraDataStreamImpl stream;
  std::vector<std::unique_ptr<mirt::OstraDataPackage>> popped;
  volatile std::uint64_t sink = 0;

  while (!in.empty()) {
    const std::uint8_t control = in.byte();
    ReadOutcome headerRead{(control & 1) != 0, "End of file", in.byte()};
    in.copy(buffer->data(), package::headerSize);
    PackageHeader header;
    try {
      header = PackageChecker::checkHeader(whole(*buffer), headerRead);
    } catch (const PackageRefusal& e) {
      expectRefusal(e);
      break;
    }
    FUZZ_CHECK(header.packageSize >= package::headerSize && header.packageSize <= package::bufferSize);
    FUZZ_CHECK(header.channelCount <= package::maxChannels);
    FUZZ_CHECK(package::sampleDataOffset + std::uint64_t{header.dataSize} <= package::bufferSize);

    ReadOutcome bodyRead{(control & 2) != 0, "Operation canceled", in.u32()};
    in.copy(buffer->data() + package::headerSize, header.packageSize - package::headerSize);
    try {
      PackageChecker::checkBody(whole(*buffer), header.packageSize, bodyRead, versionVerified);
    } catch (const PackageRefusal& e) {
      expectRefusal(e);
      break;
    }
    // Only a body that carries the version fields passes the check.
    FUZZ_CHECK(versionVerified || header.packageSize < package::versionFieldsEnd);

    stream.appendPackage(whole(*buffer));
    FUZZ_CHECK(stream.back() != nullptr);
    FUZZ_CHECK(stream.isEndOfStream() == ((header.flags & 1) != 0));
    verify(*stream.back(), header, *buffer);
    buffer->fill(package::fillerByte);

    if (stream.getSize() >= packageCounter || stream.isEndOfStream() || (control & 4)) {
      for (int n = (control >> 4) & 3; n > 0; --n) {
        auto p = stream.pop();
        if (!p) break;
        sink = sink + readAll(*p);
        popped.push_back(std::move(p));
      }
      stream.clear();
      FUZZ_CHECK(stream.getSize() == 0 && stream.back() == nullptr && !stream.pop());
    }
  }

  // Whatever the stream still holds, and every package taken out of it.
  while (auto p = stream.pop()) sink = sink + readAll(*p);
  for (const auto& p : popped) sink = sink + readAll(*p);
  return 0;
}
