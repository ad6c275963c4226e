#pragma once

// Wording shared by the tools' output: counts with their noun, and the
// board versions as a person reads them.

#include <cstdint>
#include <string>
#include <string_view>

namespace cli {

/// "1 package", "0 packages", "2 packages": the count and its noun, in the
/// plural for every count but 1; `plural` for a noun whose plural is not
/// the noun and an s.
std::string counted(std::uint64_t count, std::string_view noun, std::string_view plural = {});

/// The board versions of a package's meta data as the receiver's version
/// check reads them (DSP: the value modulo 1000; firmware: its low seven
/// bits plus 600; BIOS: as it is, in hexadecimal), each with the raw value
/// beside where that differs: "DSP 646 (raw 3646), firmware 639 (raw
/// 0x127), BIOS 0x40".
std::string boardVersions(std::uint32_t dsp, std::uint32_t firmware, std::uint32_t bios);

}  // namespace cli
