#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "stream/PackagePool.hpp"

namespace {

constexpr std::size_t objectBytes = 256;

// A block of `pool` whose channel 0 holds `samples` samples of `value`.
PackagePool::Block* blockWith(const std::shared_ptr<PackagePool>& pool, std::size_t samples,
                              std::uint32_t value) {
  PackagePool::Block* block = PackagePool::take(pool, objectBytes, 1, samples);
  block->waveforms[0].assign(samples, value);
  return block;
}

TEST(PackagePool, KeepsReturnedBlocksUpToItsLimit) {
  std::size_t blockBytes = 0;
  {
    auto measure = std::make_shared<PackagePool>(1u << 30);
    PackagePool::giveBack(blockWith(measure, 1024, 0));
    blockBytes = measure->keptBytes();
  }
  auto pool = std::make_shared<PackagePool>(3 * blockBytes);
  std::vector<PackagePool::Block*> out;
  std::vector<const std::uint32_t*> storage;
  for (std::uint32_t i = 0; i < 4; ++i) {
    out.push_back(blockWith(pool, 1024, i));
    storage.push_back(out.back()->waveforms[0].data());
  }
  for (PackagePool::Block* block : out) PackagePool::giveBack(block);  // the fourth is freed
  EXPECT_EQ(pool->keptBytes(), 3 * blockBytes);

  for (int i = 0; i < 3; ++i) {
    PackagePool::Block* block = PackagePool::take(pool, objectBytes, 1, 1000);
    EXPECT_EQ(block->waveforms[0].size(), 1024u);  // old contents kept for overwriting in place
    EXPECT_NE(std::find(storage.begin(), storage.end(), block->waveforms[0].data()), storage.end());
    out[static_cast<std::size_t>(i)] = block;
  }
  EXPECT_EQ(pool->keptBytes(), 0u);
  PackagePool::Block* fresh = PackagePool::take(pool, objectBytes, 1, 1000);
  EXPECT_EQ(fresh->waveforms[0].capacity(), 0u);
  PackagePool::giveBack(fresh);
  for (int i = 0; i < 3; ++i) PackagePool::giveBack(out[static_cast<std::size_t>(i)]);
}

// Storage a block's earlier package left in a higher channel stays with a
// later package that uses fewer channels, and counts against the limit,
// only while it is not more than twice what that package needs: a package
// the application keeps holds it all the while.
TEST(PackagePool, StorageOfChannelsALaterPackageLeavesUnused) {
  auto pool = std::make_shared<PackagePool>(1u << 30);
  PackagePool::Block* eight = PackagePool::take(pool, objectBytes, 8, 4096);
  for (auto& channel : eight->waveforms) channel.assign(4096, 7);
  PackagePool::giveBack(eight);
  const std::size_t withEight = pool->keptBytes();
  EXPECT_GE(withEight, 8 * 4096 * sizeof(std::uint32_t));

  PackagePool::Block* seven = PackagePool::take(pool, objectBytes, 7, 4096);
  ASSERT_EQ(seven, eight);
  EXPECT_EQ(seven->waveforms[7].capacity(), 4096u);  // one more channel's worth: kept
  PackagePool::giveBack(seven);
  EXPECT_EQ(pool->keptBytes(), withEight);

  PackagePool::Block* one = PackagePool::take(pool, objectBytes, 1, 16);
  ASSERT_EQ(one, eight);
  for (std::size_t c = 1; c < one->waveforms.size(); ++c) EXPECT_EQ(one->waveforms[c].capacity(), 0u) << c;
  one->waveforms[0].assign(16, 1);
  PackagePool::giveBack(one);
  EXPECT_LT(pool->keptBytes(), 4096 * sizeof(std::uint32_t));
}

TEST(PackagePool, SampleStorageMoreThanTwiceTooLargeIsFreedNotHandedOut) {
  auto pool = std::make_shared<PackagePool>();
  PackagePool::giveBack(blockWith(pool, 16384, 1));
  PackagePool::Block* small = PackagePool::take(pool, objectBytes, 1, 10);
  EXPECT_EQ(small->waveforms[0].capacity(), 0u);  // a 10-sample channel gets fresh storage
  small->waveforms[0].assign(16384, 2);
  PackagePool::giveBack(small);
  PackagePool::Block* half = PackagePool::take(pool, objectBytes, 1, 8192);
  EXPECT_GE(half->waveforms[0].capacity(), 8192u);  // exactly half used: kept
  PackagePool::giveBack(half);
}

// A block given back on the taking thread around a hand-over keeps its
// reference to the pool for the next take, within the limit; the pool
// still goes with its last reference once the kept blocks let go of it.
TEST(PackagePool, LocalReturnsAreTakenAgainAndLetThePoolGo) {
  std::size_t blockBytes = 0;
  {
    auto measure = std::make_shared<PackagePool>(1u << 30);
    PackagePool::giveBack(blockWith(measure, 64, 0));
    blockBytes = measure->keptBytes();
  }
  auto pool = std::make_shared<PackagePool>(blockBytes);
  const std::weak_ptr<PackagePool> watch = pool;
  PackagePool::Block* first = blockWith(pool, 64, 1);
  PackagePool::Block* second = blockWith(pool, 64, 2);
  {
    const PackagePool::LocalReturns returns(*pool);
    PackagePool::giveBack(first);
    PackagePool::giveBack(second);  // beyond the limit: freed
  }
  EXPECT_EQ(pool->keptBytes(), blockBytes);
  EXPECT_EQ(PackagePool::take(pool, objectBytes, 1, 64), first);
  EXPECT_EQ(pool->keptBytes(), 0u);
  {
    const PackagePool::LocalReturns returns(*pool);
    PackagePool::giveBack(first);
  }
  pool->detachKept();
  EXPECT_EQ(pool->keptBytes(), blockBytes);
  pool.reset();
  EXPECT_TRUE(watch.expired());
}

// Blocks come back on other threads while the I/O thread takes: each one
// given back is taken again exactly once.
TEST(PackagePool, TakesWhatOtherThreadsGiveBackWhileItTakes) {
  auto pool = std::make_shared<PackagePool>(1u << 30);
  constexpr std::size_t perThread = 2000;
  std::vector<std::vector<PackagePool::Block*>> handed(3);
  for (auto& blocks : handed) {
    for (std::size_t i = 0; i < perThread; ++i) blocks.push_back(blockWith(pool, 16, 0));
  }
  std::atomic<std::size_t> given{0};
  std::vector<std::thread> givers;
  for (auto& blocks : handed) {
    givers.emplace_back([&blocks, &given] {
      for (PackagePool::Block* block : blocks) {
        PackagePool::giveBack(block);
        ++given;
      }
    });
  }
  std::vector<PackagePool::Block*> taken, fresh;
  const auto takeKept = [&] {
    PackagePool::Block* block = PackagePool::take(pool, objectBytes, 1, 16);
    const bool kept = block->waveforms[0].capacity() != 0;  // else nothing was kept: a new one
    (kept ? taken : fresh).push_back(block);
    return kept;
  };
  for (std::size_t i = 0; i < 3 * perThread * 4 && taken.size() < 3 * perThread; ++i) {
    takeKept();
    if (given.load() == 3 * perThread) break;
  }
  for (auto& g : givers) g.join();
  while (taken.size() < 3 * perThread && takeKept()) {
  }
  EXPECT_EQ(taken.size(), 3 * perThread);
  std::sort(taken.begin(), taken.end());
  EXPECT_EQ(std::adjacent_find(taken.begin(), taken.end()), taken.end());
  for (PackagePool::Block* block : taken) PackagePool::giveBack(block);
  for (PackagePool::Block* block : fresh) PackagePool::giveBack(block);
}

}  // namespace
