#include "boardsim/PackageBuilder.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace boardsim {

namespace {

// Writes `value` little-endian at `offset`, byte by byte, whatever the host.
template <typename T>
void put(Bytes& out, std::size_t offset, T value) {
  static_assert(std::is_unsigned_v<T>);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

void putDouble(Bytes& out, std::size_t offset, double value) {
  put(out, offset, std::bit_cast<std::uint64_t>(value));
}

void writeHeader(Bytes& out, const PackageSpec& spec) {
  put(out, 0, spec.protocolVersion);
  put(out, 2, spec.flags);
  put(out, 4, spec.effectivePackageSize());
  put(out, 8, spec.headerValue);
  put(out, 16, spec.effectiveChannelCount());
  put(out, 20, spec.statusWord);
  std::copy(spec.waveformTypes.begin(), spec.waveformTypes.end(), out.begin() + 24);
  put(out, 32, spec.effectiveDataSize());
}

void writeMetaData(Bytes& out, const mirt::OstraMetaData& m) {
  put(out, 36, m.word36);
  put(out, 40, m.dspVersion);
  put(out, 44, m.firmwareVersion);
  put(out, 48, m.biosVersion);
  put(out, 52, m.word52);
  put(out, 56, m.word56);
  put(out, 60, m.word60);
  put(out, 64, m.word64);
  put(out, 68, m.word68);
  putDouble(out, 72, m.real72);
  putDouble(out, 80, m.real80);
  put(out, 88, m.word88);
  put(out, 92, m.word92);
  put(out, 96, m.word96);
  put(out, 100, m.half100);
  put(out, 102, m.half102);
  put(out, 104, m.word104);
  put(out, 108, m.word108);
  // 112..127 stay zero (reserved).
}

std::size_t sampleCount(const PackageSpec& spec) {
  std::size_t n = 0;
  for (const auto& channel : spec.samples) {
    n += channel.size();
  }
  return n;
}

}  // namespace

mirt::OstraMetaData defaultMetaData() {
  mirt::OstraMetaData m{};
  m.dspVersion = 3646;
  m.firmwareVersion = 0x127;
  m.biosVersion = 0x40;
  return m;
}

PackageSpec& PackageSpec::endOfStream(bool on) {
  flags = on ? static_cast<std::uint16_t>(flags | endOfStreamFlag)
             : static_cast<std::uint16_t>(flags & ~endOfStreamFlag);
  return *this;
}

PackageSpec& PackageSpec::streamContinues(bool on) {
  statusWord = on ? (statusWord | streamContinuesBit) : (statusWord & ~streamContinuesBit);
  return *this;
}

std::uint32_t PackageSpec::effectiveChannelCount() const {
  return channelCount.value_or(static_cast<std::uint32_t>(samples.size()));
}

std::uint32_t PackageSpec::effectiveDataSize() const {
  return dataSize.value_or(static_cast<std::uint32_t>(sampleCount(*this) * 4));
}

std::uint32_t PackageSpec::effectivePackageSize() const {
  return packageSize.value_or(packageSampleOffset + static_cast<std::uint32_t>(sampleCount(*this) * 4));
}

mirt::OstraMetaData PackageSpec::expectedMetaData() const {
  mirt::OstraMetaData m = meta;
  m.statusWord = statusWord;
  m.headerValue = headerValue;
  return m;
}

Bytes encodeHeader(const PackageSpec& spec) {
  Bytes out(packageHeaderSize, 0);
  writeHeader(out, spec);
  return out;
}

void encodeInto(const PackageSpec& spec, Bytes& out) {
  const std::uint32_t size = spec.effectivePackageSize();
  if (size > maxEncodedPackageSize) {
    throw std::invalid_argument("encode: packageSize " + std::to_string(size) +
                                " is too large to write out; use encodeHeader");
  }
  // The full image first, then cut or padded to the size the header states.
  out.assign(packageSampleOffset + sampleCount(spec) * 4, 0);
  writeHeader(out, spec);
  writeMetaData(out, spec.meta);
  std::size_t offset = packageSampleOffset;
  for (const auto& channel : spec.samples) {
    for (std::uint32_t sample : channel) {
      put(out, offset, sample);
      offset += 4;
    }
  }
  out.resize(std::max<std::size_t>(size, packageHeaderSize), 0);
}

Bytes encode(const PackageSpec& spec) {
  Bytes out;
  encodeInto(spec, out);
  return out;
}

Bytes encodeAll(const std::vector<PackageSpec>& specs) {
  Bytes out;
  for (const auto& spec : specs) {
    const Bytes one = encode(spec);
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

std::vector<Bytes> encodeEach(const std::vector<PackageSpec>& specs) {
  std::vector<Bytes> out;
  out.reserve(specs.size());
  for (const auto& spec : specs) {
    out.push_back(encode(spec));
  }
  return out;
}

std::uint32_t numberedSample(std::uint64_t number, std::uint32_t channel, std::uint32_t index) {
  return static_cast<std::uint32_t>(number * 10000 + channel * 1000ull + index);
}

std::vector<std::uint32_t> numberedSamples(std::uint64_t number, std::uint32_t channel,
                                           std::uint32_t samplesPerChannel) {
  std::vector<std::uint32_t> out(samplesPerChannel);
  for (std::uint32_t i = 0; i < samplesPerChannel; ++i) {
    out[i] = numberedSample(number, channel, i);
  }
  return out;
}

std::vector<PackageSpec> numberedPackages(std::uint64_t first, std::size_t count, std::uint32_t channels,
                                          std::uint32_t samplesPerChannel) {
  std::vector<PackageSpec> out(count);
  for (std::size_t k = 0; k < count; ++k) {
    PackageSpec& spec = out[k];
    spec.headerValue = first + k;
    for (std::uint32_t c = 0; c < channels; ++c) {
      spec.samples.push_back(numberedSamples(spec.headerValue, c, samplesPerChannel));
      if (c < spec.waveformTypes.size()) {
        spec.waveformTypes[c] = static_cast<std::uint8_t>(c + 1);
      }
    }
  }
  return out;
}

}  // namespace boardsim
