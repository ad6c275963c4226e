// Drives the package framer through a simulated socket: the input chooses
// the sizes of the packages on the wire and how many bytes each read
// delivers. The oracle is support::driveFramer: every package comes out
// intact and in order, and the buffer invariants hold (besides the
// framer's own assertions in the debug build that fuzzes).
//
// Input:
//   1 byte       bits 0-6: number of packages, 1 + value % 6; bit 7: the
//                framer reads samples in place (scatter reads)
//   2 bytes each package sizes (little-endian), 36 + value % 65501, so
//                36 to 65536
//   2 bytes each the most each read delivers, in order (little-endian;
//                0: the whole window); once they run out, whole windows

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/FramerDriver.hpp"

namespace {

constexpr std::size_t maxPackages = 6;
constexpr std::uint32_t sizeRange = package::bufferSize - package::headerSize + 1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t pos = 0;
  auto u16 = [&]() -> std::uint32_t {
    const std::uint32_t low = pos < size ? data[pos] : 0;
    const std::uint32_t high = pos + 1 < size ? data[pos + 1] : 0;
    pos += 2;
    return low | (high << 8);
  };
  const bool inPlace = (data[pos] & 0x80) != 0;
  const std::size_t count = 1 + (data[pos++] & 0x7F) % maxPackages;
  std::vector<std::uint32_t> sizes;
  for (std::size_t i = 0; i < count; ++i) sizes.push_back(package::headerSize + u16() % sizeRange);
  std::vector<std::size_t> reads;
  while (pos < size) reads.push_back(u16());

  const support::FramerWire wire = support::framerWire(sizes);
  const support::FramerOutcome outcome = support::driveFramer(
      wire,
      [&](std::size_t read, std::size_t, std::size_t window) -> std::size_t {
        return read < reads.size() && reads[read] != 0 ? reads[read] : window;
      },
      inPlace);
  if (!outcome.failure.empty()) {
    std::fprintf(stderr, "framer check failed: %s\n", outcome.failure.c_str());
    std::abort();
  }
  return 0;
}
