#pragma once

// Drives a PackageFramer through a simulated socket and checks it against
// the bytes that were sent: every package it yields, and the invariants of
// its buffer. Shared by the framer's unit test and its fuzz target, so it
// reports a violation as text instead of through a test framework.
//
// The packages carry only what the framer looks at (the size in the header)
// and bytes that depend on the package's number and on their position, so
// that a byte out of place or of the wrong package shows.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "stream/PackageFramer.hpp"

namespace support {

struct FramerWire {
  std::vector<std::uint8_t> bytes;
  std::vector<std::size_t> starts;  // where each package begins, and the end
};

inline FramerWire framerWire(const std::vector<std::uint32_t>& sizes) {
  FramerWire wire;
  std::size_t total = 0;
  for (const std::uint32_t size : sizes) total += size;
  wire.bytes.resize(total);
  std::uint8_t* at = wire.bytes.data();
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    wire.starts.push_back(static_cast<std::size_t>(at - wire.bytes.data()));
    const std::uint32_t size = sizes[k];
    for (std::uint32_t i = 0; i < size; ++i)
      at[i] = static_cast<std::uint8_t>((k + 1) * 131 + i * 7 + (i >> 8));
    for (int b = 0; b < 4; ++b) at[4 + b] = static_cast<std::uint8_t>(size >> (8 * b));
    at += size;
  }
  wire.starts.push_back(wire.bytes.size());
  return wire;
}

struct FramerOutcome {
  std::size_t packages = 0;        // yielded, each checked
  std::vector<std::size_t> reads;  // bytes delivered by each read
  std::string failure;             // the first violation; empty if none
};

// Feeds `wire` through a new framer. Each read gets at most what
// `readSize(readIndex, position, window)` returns (clipped to the window
// and to what is left; 0 counts as 1), and the framer takes whatever has
// become complete after each read. Stops at the first violation.
template <typename ReadSize>
FramerOutcome driveFramer(const FramerWire& wire, ReadSize readSize) {
  FramerOutcome out;
  auto fail = [&](std::size_t package, const std::string& what) {
    out.failure = "package " + std::to_string(package) + " (wire offset " +
                  std::to_string(wire.starts[std::min(package, wire.starts.size() - 1)]) + "): " + what;
    return out;
  };
  const std::size_t count = wire.starts.size() - 1;
  PackageFramer framer;
  const std::uint8_t* base = nullptr;  // the buffer: the first window starts there
  std::size_t position = 0;
  // Every read delivers at least one byte, and each byte is taken once.
  for (std::size_t guard = 0; guard <= wire.bytes.size() + 1; ++guard) {
    for (;;) {
      const std::size_t k = out.packages;
      if (framer.headerReady() && framer.packageReady()) return fail(k, "header and package ready at once");
      if (framer.headerReady()) {
        const std::span<const std::uint8_t> bytes = framer.inProgressBytes();
        if (k >= count) return fail(k, "a header beyond the last package");
        if (bytes.size() != package::headerSize ||
            std::memcmp(bytes.data(), wire.bytes.data() + wire.starts[k], bytes.size()) != 0) {
          return fail(k, "the header differs from the one sent");
        }
        framer.accept(framer.inProgress().parseHeader().packageSize);
        if (framer.packageSize() != wire.starts[k + 1] - wire.starts[k]) return fail(k, "wrong size");
      } else if (framer.packageReady()) {
        const std::span<const std::uint8_t> bytes = framer.inProgressBytes();
        const std::size_t size = wire.starts[k + 1] - wire.starts[k];
        if (framer.inHand() != size || bytes.size() != size) return fail(k, "not exactly its bytes in hand");
        if (std::memcmp(bytes.data(), wire.bytes.data() + wire.starts[k], size) != 0) {
          return fail(k, "the bytes differ from those sent");
        }
        // Inside the buffer; only a header-only package in the spare bytes.
        if (bytes.data() < base || bytes.data() + size > base + PackageFramer::capacity) {
          return fail(k, "the package lies outside the buffer");
        }
        if (bytes.data() + size > base + package::bufferSize && size != package::headerSize) {
          return fail(k, "a package with a body reaches into the spare bytes");
        }
        framer.consume();
        ++out.packages;
      } else {
        break;
      }
    }
    if (position == wire.bytes.size()) {
      if (out.packages != count) return fail(out.packages, "not yielded");
      if (framer.inHand() != 0) return fail(out.packages, "bytes left in hand after the last package");
      return out;
    }
    const std::span<std::uint8_t> window = framer.readWindow();
    if (base == nullptr) base = window.data();
    if (window.empty()) return fail(out.packages, "an empty read window");
    if (window.data() < base || window.data() + window.size() > base + PackageFramer::capacity) {
      return fail(out.packages, "the read window leaves the buffer");
    }
    // The window continues the bytes in hand, which are where the framer
    // reads the package in progress.
    const std::span<const std::uint8_t> inHand = framer.inProgressBytes();
    if (inHand.size() != framer.inHand() || inHand.data() + inHand.size() != window.data()) {
      return fail(out.packages, "the read window does not continue the bytes in hand");
    }
    std::size_t n = std::min(window.size(), wire.bytes.size() - position);
    n = std::clamp<std::size_t>(readSize(out.reads.size(), position, window.size()), 1, n);
    std::memcpy(window.data(), wire.bytes.data() + position, n);
    framer.received(n);
    out.reads.push_back(n);
    position += n;
  }
  return fail(out.packages, "no progress");
}

}  // namespace support
