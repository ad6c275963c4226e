#pragma once

// Builds board packages as the bytes the board puts on the wire, for tests
// that feed a receiver through the fake board.
//
// Layout of a package (all values little-endian, packed):
//   0  u16 protocolVersion      8 u64 headerValue     24 u8[8] waveformTypes
//   2  u16 flags                16 u32 channelCount   32 u32 dataSize
//   4  u32 packageSize          20 u32 statusWord
//   36..111 meta data (see writeMetaData), 112..127 reserved (zero),
//   128.. samples, channel after channel.
//
// The builder is deliberately independent of the library's own readers, so
// that a test compares the library against a second, plain encoding.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "varnel/varnel.hpp"

namespace boardsim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t packageHeaderSize = 36;
inline constexpr std::uint32_t packageSampleOffset = 128;
/// Bit 0 of `flags`: the package closes the current data stream.
inline constexpr std::uint16_t endOfStreamFlag = 0x0001;
/// Bit 30 of `statusWord`: the stream goes on although the end flag is set.
inline constexpr std::uint32_t streamContinuesBit = 1u << 30;
/// Largest package `encode` writes out in full.
inline constexpr std::uint32_t maxEncodedPackageSize = 1u << 20;

/// Meta data of a board whose versions pass the library's version check
/// (DSP 3646, firmware 0x127, BIOS 0x40); every other field zero.
mirt::OstraMetaData defaultMetaData();

/// Everything a package carries. Fields left at their defaults give a valid
/// package; the three overrides produce malformed headers.
struct PackageSpec {
  std::uint16_t protocolVersion = 1;
  std::uint16_t flags = 0;
  std::uint64_t headerValue = 0;
  std::uint32_t statusWord = 0;
  std::array<std::uint8_t, 8> waveformTypes{};
  /// Written to the header instead of the computed value. The encoded
  /// package is then exactly packageSize bytes long: cut short, or padded
  /// with zero bytes (never shorter than the 36 header bytes).
  std::optional<std::uint32_t> packageSize;
  /// Written to the header instead of samples.size().
  std::optional<std::uint32_t> channelCount;
  /// Written to the header instead of the number of sample bytes.
  std::optional<std::uint32_t> dataSize;
  /// Body fields at offsets 36 to 111. Its statusWord and headerValue are
  /// not used: the header fields above are written instead.
  mirt::OstraMetaData meta = defaultMetaData();
  /// Samples per channel; written one channel after the other from offset
  /// 128 on. Channels of equal length lie where a reader expects them.
  std::vector<std::vector<std::uint32_t>> samples;

  /// Sets or clears the end-of-stream flag.
  PackageSpec& endOfStream(bool on = true);
  /// Sets or clears bit 30 of the status word.
  PackageSpec& streamContinues(bool on = true);

  /// Header values as they will be written (overrides applied).
  std::uint32_t effectiveChannelCount() const;
  std::uint32_t effectiveDataSize() const;
  std::uint32_t effectivePackageSize() const;

  /// The meta data a correct reader reports for this package: `meta` with
  /// the header's statusWord and headerValue.
  mirt::OstraMetaData expectedMetaData() const;
};

/// The package's bytes: header, meta data, zero reserved bytes, samples;
/// effectivePackageSize() bytes long (at least 36). Throws
/// std::invalid_argument for a packageSize above maxEncodedPackageSize (use
/// encodeHeader for such a header).
Bytes encode(const PackageSpec& spec);
/// encode into `out`, reusing its storage.
void encodeInto(const PackageSpec& spec, Bytes& out);
/// Only the 36 header bytes.
Bytes encodeHeader(const PackageSpec& spec);
/// The packages one after another in one byte sequence.
Bytes encodeAll(const std::vector<PackageSpec>& specs);
/// Each package on its own.
std::vector<Bytes> encodeEach(const std::vector<PackageSpec>& specs);

/// Sample `index` of `channel` in the package numbered `number`:
/// number * 10000 + channel * 1000 + index, cut to 32 bits.
std::uint32_t numberedSample(std::uint64_t number, std::uint32_t channel, std::uint32_t index);
/// The samples of one channel of a numbered package.
std::vector<std::uint32_t> numberedSamples(std::uint64_t number, std::uint32_t channel,
                                           std::uint32_t samplesPerChannel);
/// `count` valid packages numbered first, first + 1, ...: headerValue is the
/// number, waveform type of channel c is c + 1, samples from numberedSample.
/// No flags are set.
std::vector<PackageSpec> numberedPackages(std::uint64_t first, std::size_t count, std::uint32_t channels = 2,
                                          std::uint32_t samplesPerChannel = 4);

}  // namespace boardsim
