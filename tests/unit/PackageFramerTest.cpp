// The framer at exact boundaries, fed by a simulated socket that delivers
// a chosen number of bytes per read: what TCP tests cannot pin, since the
// kernel decides there how reads split.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <set>
#include <vector>

#include "boardsim/PackageBuilder.hpp"
#include "stream/PackageFramer.hpp"
#include "support/FramerDriver.hpp"

namespace {

using boardsim::Bytes;
using boardsim::PackageSpec;

// A numbered package of `size` bytes: one channel of (size - 128) / 4
// samples, or eight channels when it is the largest package.
PackageSpec sized(std::uint64_t number, std::uint32_t size) {
  if (size == 65536) return boardsim::numberedPackages(number, 1, 8, 2044)[0];
  return boardsim::numberedPackages(number, 1, 1, (size - 128) / 4)[0];
}

struct Framed {
  std::vector<PackageSpec> sent;
  Bytes wire;
  std::size_t packages = 0;          // framed and found intact
  std::size_t inPlace = 0;           // of them, with their samples read in place
  std::vector<std::size_t> reads;    // bytes delivered by each read
  std::vector<std::size_t> windows;  // size of each read window
};

// Feeds the packages of the given sizes through a framer, each read taking
// at most `chunk` bytes of its window (0: the whole window), and checks
// every package it yields against what was sent. With `inPlace` the framer
// reads samples in place, and each read fills the pieces in order.
Framed frame(const std::vector<std::uint32_t>& sizes, std::size_t chunk, bool inPlace = false) {
  Framed out;
  for (std::size_t i = 0; i < sizes.size(); ++i) out.sent.push_back(sized(i + 1, sizes[i]));
  out.wire = boardsim::encodeAll(out.sent);
  PackageFramer framer;
  if (inPlace) framer.receiveSamplesInPlace();
  std::size_t position = 0;
  for (std::size_t guard = 0; guard < 10 * out.wire.size() + 100; ++guard) {
    // Take what is complete.
    for (;;) {
      if (framer.headerReady()) {
        const PackageHeader header = framer.inProgress().parseHeader();
        framer.accept(header.packageSize);
      } else if (framer.packageReady()) {
        const PackageReader package = framer.inProgress();
        if (const package::Waveforms* received = package.samplesInPlace()) {
          ++out.inPlace;
          // That storage becomes the package's: not much more than its samples.
          for (const std::vector<std::uint32_t>& channel : *received) {
            EXPECT_LE(channel.capacity(), 2 * channel.size()) << "package " << out.packages + 1;
          }
        }
        const PackageSpec& expected = out.sent.at(out.packages);
        EXPECT_EQ(package.parseHeader().headerValue, expected.headerValue);
        EXPECT_EQ(framer.inHand(), expected.effectivePackageSize());
        EXPECT_EQ(package.parseMetaData().dspVersion, expected.meta.dspVersion);
        for (std::uint32_t c = 0; c < expected.samples.size(); ++c) {
          std::vector<std::uint32_t> samples;
          package.readChannel(c, samples);
          EXPECT_EQ(samples, expected.samples[c]) << "package " << expected.headerValue << " channel " << c;
        }
        framer.consume();
        ++out.packages;
      } else {
        break;
      }
    }
    if (position == out.wire.size()) return out;
    std::span<std::uint8_t> single;
    const PackageFramer::ReadPieces pieces = support::nextRead(framer, inPlace, single);
    std::size_t window = 0;
    for (const auto piece : pieces) window += piece.size();
    EXPECT_NE(window, 0u);
    out.windows.push_back(window);
    std::size_t n = std::min(window, out.wire.size() - position);
    if (chunk != 0) n = std::min(n, chunk);
    support::fillPieces(pieces, out.wire.data() + position, n);
    framer.received(n);
    out.reads.push_back(n);
    position += n;
  }
  ADD_FAILURE() << "the framer made no progress";
  return out;
}

TEST(PackageFramer, APackageEndingExactlyAtTheBufferEndAndTheNextReadStartingAfresh) {
  // Sixteen packages of 4096 bytes fill the 65536 bytes exactly.
  const Framed f = frame(std::vector<std::uint32_t>(17, 4096), 0);
  EXPECT_EQ(f.packages, 17u);
  ASSERT_EQ(f.reads.size(), 2u);
  EXPECT_EQ(f.reads[0], 65536u);
  EXPECT_EQ(f.windows[1], 65536u);  // nothing in hand: the buffer starts over
}

TEST(PackageFramer, AHeaderStraddlingTheBufferEndMovesToTheFront) {
  // 468 packages of 140 bytes end at 65520: the next header has 16 of its
  // 36 bytes in the buffer when the first read is full.
  const Framed f = frame(std::vector<std::uint32_t>(470, 140), 0);
  EXPECT_EQ(f.packages, 470u);
  ASSERT_GE(f.windows.size(), 2u);
  EXPECT_EQ(f.windows[0], 65536u);
  EXPECT_EQ(f.windows[1], 65536u - 16);  // the 16 bytes moved to the front
}

TEST(PackageFramer, LargeSmallLargeInARowWhateverTheReadsDeliver) {
  const std::vector<std::uint32_t> sizes{65536, 140, 40000, 36 + 92, 65536, 32768, 32764, 140, 4096, 8192};
  for (const bool inPlace : {false, true}) {
    for (const std::size_t chunk : {0u, 1u, 7u, 35u, 36u, 37u, 129u, 1000u, 65535u}) {
      SCOPED_TRACE("reads of at most " + std::to_string(chunk) + " bytes" + (inPlace ? ", in place" : ""));
      EXPECT_EQ(frame(sizes, chunk, inPlace).packages, sizes.size());
    }
  }
}

TEST(PackageFramer, OneByteAtATime) {
  for (const bool inPlace : {false, true}) {
    const Framed f = frame({140, 128, 4096, 65536, 132}, 1, inPlace);
    EXPECT_EQ(f.packages, 5u);
    EXPECT_EQ(f.reads.size(), f.wire.size());
  }
}

// The samples of a package of 32 KiB or more that arrive after its header
// and meta data go straight into their storage, one read per package with
// the next header behind it, as without; on a big-endian host, where the
// samples are converted on the way, every package takes the buffer.
TEST(PackageFramer, LargePackagesHaveTheirSamplesReadInPlaceOnLittleEndianHostsOnly) {
  // (32767 bytes make a package of 32764: its samples fill whole words)
  const Framed f = frame({140, 65536, 32768, 40000, 32767, 140}, 0, true);
  EXPECT_EQ(f.packages, 6u);
  if constexpr (std::endian::native == std::endian::little) {
    EXPECT_EQ(f.inPlace, 2u) << "the packages of 32768 and 40000 bytes, read in place";
    EXPECT_EQ(f.reads, (std::vector<std::size_t>{65536, 140 + 36, 32768, 40000, 32764 + 140 - 36}));
  } else {
    EXPECT_EQ(f.inPlace, 0u) << "big-endian: the samples are converted out of the buffer";
  }
}

TEST(PackageFramer, TheLargestPackageIsReadInOneWithItsSuccessorsHeader) {
  // A small package, the largest one, and its successor.
  const Framed f = frame({140, 65536, 140}, 0);
  EXPECT_EQ(f.packages, 3u);
  // The first read takes the small package and the large one's first
  // 65396 bytes; the large one then moves to the front, and the second read
  // takes its last 140 bytes together with the next header, no more.
  ASSERT_EQ(f.reads.size(), 3u);
  EXPECT_EQ(f.reads[0], 65536u);
  EXPECT_EQ(f.reads[1], 140u + 36u);
  EXPECT_EQ(f.reads[2], 140u - 36u);

  // Large packages back to back: each body is one read that brings the
  // next header along, which alone moves to the front.
  const Framed back = frame({65536, 65536, 65536}, 0);
  EXPECT_EQ(back.packages, 3u);
  EXPECT_EQ(back.reads, (std::vector<std::size_t>{65536, 36, 65536, 65500}));
}

// Every ordered pair of sizes from the boundary set, alone and behind a
// small package, each followed by a header-only package and a small one
// (so every triple of a pair and a header-only package behind it), cut
// into two sends at every point that matters: around each header, the
// 64 KiB boundary and the spare bytes behind it, and around where the reads
// end when nothing is cut. Each read takes the whole window or what is left
// of the send. Every package must come out intact and in order, and the
// framer's buffer invariants hold throughout (FramerDriver), both with the
// samples in the buffer and read in place (then also cut where the samples
// begin).
TEST(PackageFramer, GrindsEveryPairOfBoundarySizesAtEverySplitThatMatters) {
  const std::vector<std::uint32_t> boundary{36, 37, 52, 140, 4096, 32767, 32768, 65500, 65535, 65536};
  std::size_t runs = 0, inPlacePackages = 0;
  for (const bool leadIn : {false, true}) {
    for (const std::uint32_t a : boundary) {
      for (const std::uint32_t b : boundary) {
        std::vector<std::uint32_t> sizes;
        if (leadIn) sizes.push_back(140);
        sizes.insert(sizes.end(), {a, b, 36, 140});
        const support::FramerWire wire = support::framerWire(sizes);
        const std::size_t total = wire.bytes.size();
        const auto whole = [](std::size_t, std::size_t, std::size_t window) { return window; };
        const support::FramerOutcome unsplit = support::driveFramer(wire, whole);
        ASSERT_EQ(unsplit.failure, "") << "sizes " << testing::PrintToString(sizes);
        const support::FramerOutcome inPlace = support::driveFramer(wire, whole, true);
        ASSERT_EQ(inPlace.failure, "") << "in place, sizes " << testing::PrintToString(sizes);

        std::set<std::size_t> splits;
        auto around = [&](std::size_t at, std::initializer_list<long> offsets) {
          for (const long d : offsets) {
            const long s = static_cast<long>(at) + d;
            if (s > 0 && s < static_cast<long>(total)) splits.insert(static_cast<std::size_t>(s));
          }
        };
        for (const std::size_t start : wire.starts) around(start, {-1, 0, 1, 35, 36, 37, 127, 128, 129});
        around(package::bufferSize, {-1, 0, 1, 35, 36, 37});
        std::size_t readEnd = 0;
        for (const std::size_t n : unsplit.reads) around(readEnd += n, {-37, -36, -35, -1, 1, 35, 36, 37});
        readEnd = 0;
        for (const std::size_t n : inPlace.reads) around(readEnd += n, {-1, 1});

        for (const std::size_t split : splits) {
          const auto cut = [split](std::size_t, std::size_t position, std::size_t window) {
            return position < split ? std::min(window, split - position) : window;
          };
          for (const bool samplesInPlace : {false, true}) {
            const support::FramerOutcome outcome = support::driveFramer(wire, cut, samplesInPlace);
            ASSERT_EQ(outcome.failure, "") << "sizes " << testing::PrintToString(sizes) << ", split at "
                                           << split << (samplesInPlace ? ", in place" : "");
            ++runs;
            inPlacePackages += outcome.inPlace;
          }
        }
      }
    }
  }
  EXPECT_GT(runs, 10000u);
  if constexpr (std::endian::native == std::endian::little) {
    EXPECT_GT(inPlacePackages, 1000u);
  }
}

}  // namespace
