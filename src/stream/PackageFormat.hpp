#pragma once

// The byte format of a board package: a 36-byte header followed by a body
// of packageSize - 36 bytes. All values are little-endian and packed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace package {

// The board's TCP port; an address names no other.
inline constexpr std::uint16_t boardPort = 63751;

inline constexpr std::uint32_t headerSize = 36;
inline constexpr std::uint16_t requiredProtocolVersion = 1;
inline constexpr const char* minimumBoardVersion = "1.16.3";
inline constexpr std::uint32_t sampleDataOffset = 128;
inline constexpr std::uint32_t maxChannels = 8;
inline constexpr std::size_t bufferSize = 65536;
inline constexpr std::uint8_t fillerByte = 0xCD;

// The samples of a package, one sequence per channel slot.
using Waveforms = std::array<std::vector<std::uint32_t>, maxChannels>;

// Minimum board versions, compared after the DSP and firmware values have
// been reduced (dspVersion % 1000, (firmwareVersion & 0x7F) + 600).
inline constexpr std::uint32_t minimumDspVersion = 646;
inline constexpr std::uint32_t minimumFirmwareVersion = 639;
inline constexpr std::uint32_t minimumBiosVersion = 0x40;
// The DSP, firmware and BIOS versions lie at offsets 40 to 51: a package
// shorter than this carries none of them.
inline constexpr std::uint32_t versionFieldsEnd = 52;

// Bit 0 of the header flags: this package closes the current stream.
inline constexpr std::uint16_t endOfStreamFlag = 0x0001;
// Bit 30 of the status word: the stream goes on despite an end flag.
inline constexpr std::uint32_t streamContinuesBit = 1u << 30;

}  // namespace package

struct PackageHeader {
  std::uint16_t protocolVersion;
  std::uint16_t flags;
  std::uint32_t packageSize;
  std::uint64_t headerValue;
  std::uint32_t channelCount;
  std::uint32_t statusWord;
  std::array<std::uint8_t, 8> waveformTypes;
  std::uint32_t dataSize;
};
