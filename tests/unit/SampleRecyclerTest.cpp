#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "stream/PackageReader.hpp"
#include "stream/SampleRecycler.hpp"
#include "support/PackageBytes.hpp"

namespace {

TEST(SampleRecycler, GivesStorageBackUpToItsLimit) {
  SampleRecycler recycler(3 * 1024 * sizeof(std::uint32_t));
  std::vector<std::uint32_t> a(1024, 1), b(1024, 2), c(1024, 3), d(1024, 4);
  const std::uint32_t* storageA = a.data();
  recycler.give(a);
  recycler.give(b);
  recycler.give(c);
  recycler.give(d);  // over the limit: stays with the caller and is freed there
  EXPECT_FALSE(d.empty());
  EXPECT_EQ(recycler.keptBytes(), 3 * 1024 * sizeof(std::uint32_t));

  std::vector<const std::uint32_t*> taken;
  for (int i = 0; i < 3; ++i) {
    auto v = recycler.take(1000);
    EXPECT_EQ(v.size(), 1024u);  // old contents kept for overwriting in place
    EXPECT_GE(v.capacity(), 1024u);
    taken.push_back(v.data());
  }
  EXPECT_NE(std::find(taken.begin(), taken.end(), storageA), taken.end());
  EXPECT_EQ(recycler.take(1000).capacity(), 0u);
  EXPECT_EQ(recycler.keptBytes(), 0u);
}

TEST(SampleRecycler, StorageMoreThanTwiceTooLargeIsFreedNotHandedOut) {
  SampleRecycler recycler;
  std::vector<std::uint32_t> large(16384, 1), fitting(16384, 2);
  recycler.give(large);
  recycler.give(fitting);
  EXPECT_EQ(recycler.take(10).capacity(), 0u);       // a 10-sample channel gets fresh storage
  EXPECT_GE(recycler.take(8192).capacity(), 8192u);  // exactly half used: taken
  EXPECT_EQ(recycler.keptBytes(), 0u);
  EXPECT_EQ(recycler.take(0).capacity(), 0u);
}

TEST(SampleRecycler, TakesWhatOtherThreadsGiveWhileItTakes) {
  SampleRecycler recycler(1u << 30);
  constexpr int perThread = 2000;
  std::atomic<int> given{0};
  std::vector<std::thread> givers;
  for (int t = 0; t < 3; ++t) {
    givers.emplace_back([&] {
      for (int i = 0; i < perThread; ++i) {
        std::vector<std::uint32_t> v(16, static_cast<std::uint32_t>(i));
        recycler.give(v);
        ++given;
      }
    });
  }
  int takenWithStorage = 0;
  for (int i = 0; i < 3 * perThread * 4 && takenWithStorage < 3 * perThread; ++i) {
    if (recycler.take(16).capacity() != 0) ++takenWithStorage;
    if (given.load() == 3 * perThread && recycler.keptBytes() == 0) break;
  }
  for (auto& g : givers) g.join();
  while (recycler.take(16).capacity() != 0) ++takenWithStorage;
  EXPECT_EQ(takenWithStorage, 3 * perThread);
}

TEST(BoundedPackageReader, PositionsBeyondWhatArrivedReadAsFiller) {
  std::vector<std::uint8_t> bytes(200, 0x11);
  // A header of 2 channels with 8 bytes each, samples from offset 128.
  std::fill(bytes.begin(), bytes.begin() + 36, 0);
  bytes[16] = 2;
  bytes[32] = 16;
  const PackageReader reader(bytes.data(), 132);  // only one sample arrived
  EXPECT_EQ(reader.parseMetaData().word36, 0x11111111u);
  EXPECT_EQ(bytes::samplesOf(reader, 0), (std::vector<std::uint32_t>{0x11111111u, 0xCDCDCDCDu}));
  EXPECT_EQ(bytes::samplesOf(reader, 1), (std::vector<std::uint32_t>{0xCDCDCDCDu, 0xCDCDCDCDu}));
  const PackageReader headerOnly(bytes.data(), 36);
  EXPECT_EQ(headerOnly.parseMetaData().dspVersion, 0xCDCDCDCDu);
  EXPECT_EQ(headerOnly.parseMetaData().half100, 0xCDCDu);
  EXPECT_EQ(headerOnly.parseHeader().channelCount, 2u);
}

}  // namespace
