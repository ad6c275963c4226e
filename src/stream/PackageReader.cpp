#include "stream/PackageReader.hpp"

#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

namespace {

// Little-endian fields, assembled byte by byte: no alignment is assumed and
// the host's byte order does not matter.
std::uint16_t readU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t readU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t readU64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(readU32(p)) | (static_cast<std::uint64_t>(readU32(p + 4)) << 32);
}

// The board sends IEEE 754 doubles; the bits are taken over unchanged.
double readF64(const std::uint8_t* p) {
  const std::uint64_t bits = readU64(p);
  double value;
  static_assert(sizeof value == sizeof bits);
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

PackageHeader PackageReader::parseHeader() const {
  PackageHeader header;
  header.protocolVersion = readU16(buffer + 0);
  header.flags = readU16(buffer + 2);
  header.packageSize = readU32(buffer + 4);
  header.headerValue = readU64(buffer + 8);
  header.channelCount = readU32(buffer + 16);
  header.statusWord = readU32(buffer + 20);
  std::memcpy(header.waveformTypes.data(), buffer + 24, header.waveformTypes.size());
  header.dataSize = readU32(buffer + 32);
  return header;
}

mirt::OstraMetaData PackageReader::parseMetaData() const {
  mirt::OstraMetaData meta{};
  meta.statusWord = readU32(buffer + 20);
  meta.headerValue = readU64(buffer + 8);
  meta.word36 = readU32(buffer + 36);
  meta.dspVersion = readU32(buffer + 40);
  meta.firmwareVersion = readU32(buffer + 44);
  meta.biosVersion = readU32(buffer + 48);
  meta.word52 = readU32(buffer + 52);
  meta.word56 = readU32(buffer + 56);
  meta.word60 = readU32(buffer + 60);
  meta.word64 = readU32(buffer + 64);
  meta.word68 = readU32(buffer + 68);
  meta.real72 = readF64(buffer + 72);
  meta.real80 = readF64(buffer + 80);
  meta.word88 = readU32(buffer + 88);
  meta.word92 = readU32(buffer + 92);
  meta.word96 = readU32(buffer + 96);
  meta.half100 = readU16(buffer + 100);
  meta.half102 = readU16(buffer + 102);
  meta.word104 = readU32(buffer + 104);
  meta.word108 = readU32(buffer + 108);
  return meta;
}

std::vector<std::uint32_t> PackageReader::readChannel(std::uint32_t channel) const {
  const PackageHeader header = parseHeader();
  std::vector<std::uint32_t> samples;
  if (header.channelCount == 0 || channel >= header.channelCount) {
    return samples;
  }
  // Every channel gets an equal share of the sample area; bytes of a share
  // that do not fill a whole sample are skipped. The start is c * D / N, not
  // c * (D / N): the two differ when D is not a multiple of N.
  const std::uint32_t bytesPerChannel = header.dataSize / header.channelCount;
  const std::uint32_t count = bytesPerChannel / 4;
  if (count == 0) {
    return samples;
  }
  const std::uint64_t start =
      static_cast<std::uint64_t>(channel) * header.dataSize / header.channelCount + package::sampleDataOffset;
  // The header checks refuse sample areas beyond the buffer; never read past
  // it even if an unchecked header gets here.
  if (start + static_cast<std::uint64_t>(count) * 4 > package::bufferSize) {
    throw std::out_of_range(
        fmt::format("Channel {} reaches beyond the receive buffer (data size {}, {} channels)", channel,
                    header.dataSize, header.channelCount));
  }
  samples.reserve(count);
  const std::uint8_t* p = buffer + start;
  for (std::uint32_t i = 0; i < count; ++i, p += 4) {
    samples.push_back(readU32(p));
  }
  return samples;
}
