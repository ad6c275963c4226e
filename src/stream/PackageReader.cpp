#include "stream/PackageReader.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <iterator>

namespace {

// Little-endian fields, assembled byte by byte (compilers turn this into a
// plain load where the host allows it).
std::uint32_t loadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Walks little-endian 32-bit words in a byte range, so that a vector can take
// them over in one pass without zero-filling its storage first.
struct WordIterator {
  using iterator_category = std::random_access_iterator_tag;
  using value_type = std::uint32_t;
  using difference_type = std::ptrdiff_t;
  using pointer = const std::uint32_t*;
  using reference = std::uint32_t;

  const std::uint8_t* p;

  std::uint32_t operator*() const { return loadU32(p); }
  std::uint32_t operator[](difference_type i) const { return loadU32(p + 4 * i); }
  WordIterator& operator++() {
    p += 4;
    return *this;
  }
  WordIterator operator++(int) {
    WordIterator old = *this;
    p += 4;
    return old;
  }
  WordIterator& operator--() {
    p -= 4;
    return *this;
  }
  WordIterator& operator+=(difference_type n) {
    p += 4 * n;
    return *this;
  }
  WordIterator operator+(difference_type n) const { return WordIterator{p + 4 * n}; }
  difference_type operator-(const WordIterator& other) const { return (p - other.p) / 4; }
  bool operator==(const WordIterator& other) const { return p == other.p; }
  bool operator!=(const WordIterator& other) const { return p != other.p; }
  bool operator<(const WordIterator& other) const { return p < other.p; }
};

// The fields of a package that carries its whole header, or its whole meta
// data block: no position up to `end` needs a bounds check.
struct WholeFields {
  static constexpr std::size_t end = 112;
  const std::uint8_t* p;

  std::uint16_t u16(std::size_t offset) const {
    return static_cast<std::uint16_t>(p[offset] | (p[offset + 1] << 8));
  }
  std::uint32_t u32(std::size_t offset) const { return loadU32(p + offset); }
  std::uint64_t u64(std::size_t offset) const {
    return static_cast<std::uint64_t>(u32(offset)) | (static_cast<std::uint64_t>(u32(offset + 4)) << 32);
  }
  double f64(std::size_t offset) const {
    const std::uint64_t bits = u64(offset);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
};

}  // namespace

// The board sends IEEE 754 doubles; the bits are taken over unchanged.
double PackageReader::f64(std::size_t offset) const {
  const std::uint64_t bits = u64(offset);
  double value;
  static_assert(sizeof value == sizeof bits);
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

PackageHeader PackageReader::parseHeader() const {
  if (available >= package::headerSize) {
    // The usual case: the whole header is there, no field needs a check.
    const WholeFields fields{data};
    PackageHeader header;
    header.protocolVersion = fields.u16(0);
    header.flags = fields.u16(2);
    header.packageSize = fields.u32(4);
    header.headerValue = fields.u64(8);
    header.channelCount = fields.u32(16);
    header.statusWord = fields.u32(20);
    std::memcpy(header.waveformTypes.data(), data + 24, header.waveformTypes.size());
    header.dataSize = fields.u32(32);
    return header;
  }
  PackageHeader header;
  header.protocolVersion = u16(0);
  header.flags = u16(2);
  header.packageSize = u32(4);
  header.headerValue = u64(8);
  header.channelCount = u32(16);
  header.statusWord = u32(20);
  for (std::size_t i = 0; i < header.waveformTypes.size(); ++i) {
    header.waveformTypes[i] = byteAt(24 + i);
  }
  header.dataSize = u32(32);
  return header;
}

// Field by field: the record is not the wire's layout (statusWord and
// headerValue come from the header, and the record aligns its doubles to 8
// bytes where the wire packs them), and the wire is little-endian on every
// host.
mirt::OstraMetaData PackageReader::parseMetaData() const {
  if (available >= WholeFields::end) return metaDataFrom(WholeFields{data});
  return metaDataFrom(*this);
}

template <typename Fields>
mirt::OstraMetaData PackageReader::metaDataFrom(const Fields& fields) {
  mirt::OstraMetaData meta{};
  const auto u16 = [&fields](std::size_t offset) { return fields.u16(offset); };
  const auto u32 = [&fields](std::size_t offset) { return fields.u32(offset); };
  const auto u64 = [&fields](std::size_t offset) { return fields.u64(offset); };
  const auto f64 = [&fields](std::size_t offset) { return fields.f64(offset); };
  meta.statusWord = u32(20);
  meta.headerValue = u64(8);
  meta.word36 = u32(36);
  meta.dspVersion = u32(40);
  meta.firmwareVersion = u32(44);
  meta.biosVersion = u32(48);
  meta.word52 = u32(52);
  meta.word56 = u32(56);
  meta.word60 = u32(60);
  meta.word64 = u32(64);
  meta.word68 = u32(68);
  meta.real72 = f64(72);
  meta.real80 = f64(80);
  meta.word88 = u32(88);
  meta.word92 = u32(92);
  meta.word96 = u32(96);
  meta.half100 = u16(100);
  meta.half102 = u16(102);
  meta.word104 = u32(104);
  meta.word108 = u32(108);
  return meta;
}

void PackageReader::readChannel(std::uint32_t channel, std::vector<std::uint32_t>& samples) const {
  // `samples` may hold old contents (recycled storage); every path below
  // sets its size.
  const std::uint32_t channelCount = u32(16);
  const std::uint32_t dataSize = u32(32);
  if (channelCount == 0 || channel >= channelCount) {
    samples.clear();
    return;
  }
  // Every channel gets an equal share of the sample area; bytes of a share
  // that do not fill a whole sample are skipped. The start is c * D / N, not
  // c * (D / N): the two differ when D is not a multiple of N.
  const std::uint32_t bytesPerChannel = dataSize / channelCount;
  const std::uint32_t count = bytesPerChannel / 4;
  if (count == 0) {
    samples.clear();
    return;
  }
  if (this->samples != nullptr) {
    samples = (*this->samples)[channel];
    return;
  }
  const std::uint64_t start =
      static_cast<std::uint64_t>(channel) * dataSize / channelCount + package::sampleDataOffset;
  copySamples(static_cast<std::size_t>(start), count, samples);
}

void PackageReader::readChannels(const PackageHeader& header, package::Waveforms& waveforms) const {
  const std::uint32_t channelCount = header.channelCount;
  if (channelCount == 0) return;
  // One channel, the usual case, takes the whole sample area.
  const std::uint32_t share = channelCount == 1 ? header.dataSize : header.dataSize / channelCount;
  const std::uint32_t count = share / 4;
  if (count == 0 && channelCount <= package::maxChannels) {
    // Shares too small for a whole sample: every channel is empty.
    for (std::uint32_t c = 0; c < channelCount; ++c) waveforms[c].clear();
    return;
  }
  if (samples != nullptr || channelCount > package::maxChannels) {
    for (std::uint32_t c = 0; c < std::min(channelCount, package::maxChannels); ++c) {
      readChannel(c, waveforms[c]);
    }
    return;
  }
  // Channel c starts at c * D / N = c * (D / N) + c * (D % N) / N: from one
  // channel to the next the start moves on by D / N, and by one more byte
  // whenever the remainders summed so far reach N again.
  const std::uint32_t rest = header.dataSize - share * channelCount;
  std::size_t first = package::sampleDataOffset;
  std::uint32_t restSum = 0;
  for (std::uint32_t c = 0; c < channelCount; ++c) {
    copySamples(first, count, waveforms[c]);
    first += share;
    restSum += rest;
    if (restSum >= channelCount) {
      restSum -= channelCount;
      ++first;
    }
  }
}

void PackageReader::copySamples(std::size_t first, std::uint32_t count,
                                std::vector<std::uint32_t>& samples) const {
  const std::uint64_t end = first + static_cast<std::uint64_t>(count) * 4;
  assert(end <= package::bufferSize);
  if (end <= available) {
    if constexpr (std::endian::native == std::endian::little) {
      // The samples are stored as this machine keeps them: a block copy,
      // several times faster than assembling the words one by one.
      samples.resize(count);
      std::memcpy(samples.data(), data + first, static_cast<std::size_t>(count) * 4);
    } else {
      // One pass; at most one allocation, none when the storage is reused.
      samples.clear();
      const WordIterator begin{data + first};
      samples.assign(begin, begin + count);
    }
    return;
  }
  // The channel runs past what the board sent: those samples read as filler.
  samples.clear();
  samples.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) samples.push_back(u32(first + 4 * static_cast<std::size_t>(i)));
}
