#pragma once

// Builds board packages byte by byte in a receive buffer, independently of
// the library's reader, for the tests of the stream subsystem.

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "stream/PackageFormat.hpp"
#include "stream/PackageReader.hpp"

// A receive buffer as the tests build packages in: header at bytes 0 to 35,
// body behind it, so buffer index and package offset coincide.
using PackageBuffer = std::array<std::uint8_t, package::bufferSize>;

namespace bytes {

// A reader over a whole buffer, as if the package had delivered all of it.
inline PackageReader readerOf(const PackageBuffer& buffer) {
  return PackageReader(buffer.data(), buffer.size());
}

// The samples of one channel, as a value.
inline std::vector<std::uint32_t> samplesOf(const PackageReader& reader, std::uint32_t channel) {
  std::vector<std::uint32_t> samples;
  reader.readChannel(channel, samples);
  return samples;
}

// A heap buffer filled with the filler byte, as the connection leaves it
// after each decoded body; on the heap so that AddressSanitizer sees any
// read past its end.
inline std::unique_ptr<PackageBuffer> filledBuffer() {
  auto buffer = std::make_unique<PackageBuffer>();
  buffer->fill(package::fillerByte);
  return buffer;
}

inline void put(PackageBuffer& b, std::size_t offset, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) {
    b[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}
inline void put16(PackageBuffer& b, std::size_t offset, std::uint16_t v) { put(b, offset, v, 2); }
inline void put32(PackageBuffer& b, std::size_t offset, std::uint32_t v) { put(b, offset, v, 4); }
inline void put64(PackageBuffer& b, std::size_t offset, std::uint64_t v) { put(b, offset, v, 8); }
inline void putDouble(PackageBuffer& b, std::size_t offset, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  put64(b, offset, bits);
}

struct Header {
  std::uint16_t protocolVersion = 1;
  std::uint16_t flags = 0;
  std::uint32_t packageSize = 144;
  std::uint64_t headerValue = 0;
  std::uint32_t channelCount = 2;
  std::uint32_t statusWord = 0;
  std::array<std::uint8_t, 8> waveformTypes{5, 9};
  std::uint32_t dataSize = 16;
};

inline void writeHeader(PackageBuffer& b, const Header& h) {
  put16(b, 0, h.protocolVersion);
  put16(b, 2, h.flags);
  put32(b, 4, h.packageSize);
  put64(b, 8, h.headerValue);
  put32(b, 16, h.channelCount);
  put32(b, 20, h.statusWord);
  std::memcpy(&b[24], h.waveformTypes.data(), 8);
  put32(b, 32, h.dataSize);
}

// Board versions that pass the version check (646, 639, 0x40 once reduced).
inline void writeGoodVersions(PackageBuffer& b) {
  put32(b, 40, 3646);
  put32(b, 44, 0x127);
  put32(b, 48, 0x40);
}

// A complete package: header, passing versions, and sample k of the whole
// sample area (channel-major) set to sampleBase + k.
inline std::unique_ptr<PackageBuffer> package(const Header& h, std::uint32_t sampleBase = 0x1000) {
  auto b = filledBuffer();
  writeHeader(*b, h);
  std::memset(&(*b)[36], 0, h.packageSize > 36 ? h.packageSize - 36 : 0);
  writeGoodVersions(*b);
  for (std::uint32_t k = 0; 128 + 4 * k + 4 <= h.packageSize; ++k) {
    put32(*b, 128 + 4 * k, sampleBase + k);
  }
  return b;
}

}  // namespace bytes
