#pragma once

// Drives a PackageFramer through a simulated socket and checks it against
// the bytes that were sent: every package it yields, and the invariants of
// its buffer. Shared by the framer's unit test and its fuzz target, so it
// reports a violation as text instead of through a test framework.
//
// The packages carry only what the framer looks at (the size, the channel
// count and the sample area's size in the header) and bytes that depend on
// the package's number and on their position, so that a byte out of place
// or of the wrong package shows. Their sample areas vary: exactly filling
// the body, with bytes of each channel's share that make no whole sample,
// reaching beyond the body, and half of it.

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
    if (size >= 36) {
      const std::uint32_t channels = 1 + static_cast<std::uint32_t>(k * 3 % package::maxChannels);
      const std::uint32_t body = size > package::sampleDataOffset ? size - package::sampleDataOffset : 0;
      const std::uint32_t variants[] = {body, body > 5 ? body - 5 : 0, body + 4, body / 2};
      const std::uint32_t dataSize = variants[k % 4];
      for (int b = 0; b < 4; ++b) {
        at[16 + b] = static_cast<std::uint8_t>(channels >> (8 * b));
        at[32 + b] = static_cast<std::uint8_t>(dataSize >> (8 * b));
      }
    }
    at += size;
  }
  wire.starts.push_back(wire.bytes.size());
  return wire;
}

// The pieces of `framer`'s next read: its scatter read when it reads
// samples in place (`inPlace`), else its read window alone, kept in
// `window` for as long as the pieces are used.
inline PackageFramer::ReadPieces nextRead(PackageFramer& framer, bool inPlace,
                                          std::span<std::uint8_t>& window) {
  if (inPlace) return framer.readPieces();
  window = framer.readWindow();
  return {&window, 1};
}

// What one read of `n` bytes from `from` on puts into `pieces`, in order.
inline void fillPieces(PackageFramer::ReadPieces pieces, const std::uint8_t* from, std::size_t n) {
  for (const std::span<std::uint8_t> piece : pieces) {
    const std::size_t part = std::min(piece.size(), n);
    std::memcpy(piece.data(), from, part);
    from += part;
    n -= part;
  }
}

struct FramerOutcome {
  std::size_t packages = 0;        // yielded, each checked
  std::size_t inPlace = 0;         // of them, with their samples read in place
  std::vector<std::size_t> reads;  // bytes delivered by each read
  std::string failure;             // the first violation; empty if none
};

// Feeds `wire` through a new framer. Each read gets at most what
// `readSize(readIndex, position, window)` returns (clipped to the window
// and to what is left; 0 counts as 1), and the framer takes whatever has
// become complete after each read. Stops at the first violation. With
// `inPlace` the framer reads samples in place, through scatter reads whose
// pieces the read fills in order (`window` is then their total size).
template <typename ReadSize>
FramerOutcome driveFramer(const FramerWire& wire, ReadSize readSize, bool inPlace = false) {
  FramerOutcome out;
  auto fail = [&](std::size_t package, const std::string& what) {
    out.failure = "package " + std::to_string(package) + " (wire offset " +
                  std::to_string(wire.starts[std::min(package, wire.starts.size() - 1)]) + "): " + what;
    return out;
  };
  const std::size_t count = wire.starts.size() - 1;
  PackageFramer framer;
  if (inPlace) framer.receiveSamplesInPlace();
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
        const std::uint8_t* const sent = wire.bytes.data() + wire.starts[k];
        if (framer.inHand() != size || bytes.size() != size) return fail(k, "not exactly its bytes in hand");
        if (framer.samplesInPlace()) {
          // The samples in their storage, exactly as read from the bytes
          // sent; the header and meta data among the bytes.
          const PackageReader received = framer.inProgress();
          const PackageReader reference(sent, size);
          if (received.samplesInPlace() == nullptr) return fail(k, "its samples in place are not handed on");
          if (std::memcmp(bytes.data(), sent, package::sampleDataOffset) != 0) {
            return fail(k, "the header or meta data differ from those sent");
          }
          for (std::uint32_t c = 0; c < package::maxChannels; ++c) {
            std::vector<std::uint32_t> expected, got;
            reference.readChannel(c, expected);
            received.readChannel(c, got);
            if (got != expected) return fail(k, "the samples of channel " + std::to_string(c) + " differ");
          }
          ++out.inPlace;
        } else if (std::memcmp(bytes.data(), sent, size) != 0) {
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
    std::span<std::uint8_t> single;
    const PackageFramer::ReadPieces pieces = nextRead(framer, inPlace, single);
    std::size_t window = 0;
    for (const std::span<std::uint8_t> piece : pieces) {
      if (piece.empty()) return fail(out.packages, "an empty piece of a read");
      window += piece.size();
    }
    const std::uint8_t* const first = pieces.front().data();
    if (base == nullptr) base = first;
    if (window == 0) return fail(out.packages, "an empty read window");
    if (!framer.samplesInPlace()) {
      if (pieces.size() != 1) return fail(out.packages, "a scatter read for a package in the buffer");
      if (first < base || first + window > base + PackageFramer::capacity) {
        return fail(out.packages, "the read window leaves the buffer");
      }
      // The window continues the bytes in hand, which are where the framer
      // reads the package in progress.
      const std::span<const std::uint8_t> inHand = framer.inProgressBytes();
      if (inHand.size() != framer.inHand() || inHand.data() + inHand.size() != first) {
        return fail(out.packages, "the read window does not continue the bytes in hand");
      }
    }
    std::size_t n = std::min(window, wire.bytes.size() - position);
    n = std::clamp<std::size_t>(readSize(out.reads.size(), position, window), 1, n);
    fillPieces(pieces, wire.bytes.data() + position, n);
    framer.received(n);
    out.reads.push_back(n);
    position += n;
  }
  return fail(out.packages, "no progress");
}

}  // namespace support
