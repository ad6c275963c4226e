#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "stream/PackageFormat.hpp"

// Keeps the memory of destroyed packages for the packages decoded next: the
// package object itself and the storage of its channel types and samples,
// together in one block. Without it every package costs an allocation for
// the object and one per channel, freed again when the application is done
// with it; the C library then hands large blocks back to the system and
// faults them in again for the next batch, page by page.
//
// One pool per data stream, shared with every package decoded there, so
// that a package the application keeps holds the pool alive; a package that
// is never destroyed simply never comes back. Packages may be destroyed on
// any thread and are built on the I/O thread of the stream's connection, so
// blocks come back through a lock-free list: any thread pushes one, the I/O
// thread takes the whole list at once. The pool keeps at most `limitBytes`
// of blocks; beyond that a returning block is freed.
//
// Most packages are destroyed by the callback on the I/O thread itself, or
// by the hand-over that clears the stream after it. While the I/O thread
// hands over (LocalReturns), what comes back on that thread goes straight
// to the blocks it takes from, without an atomic operation: such a block
// also keeps its reference to the pool, so that taking it again copies no
// reference either. The stream's owner ends those references (detachKept)
// before it lets go of the pool.
class PackagePool {
 public:
  using Waveforms = package::Waveforms;
  static constexpr std::size_t defaultLimitBytes = 4u << 20;

  // The memory of one package: the storage of its channel types and
  // samples, then the object. The package uses that storage in place while
  // it lives; between two lives the vectors keep their old samples and
  // size, so that a caller who overwrites them in place (resize, then copy)
  // pays no zero-fill.
  class Block {
   public:
    std::vector<std::uint32_t> channelTypes;
    Waveforms waveforms;

    // Where the package object lives.
    void* object();
    // The block whose object lives at `object`.
    static Block* of(void* object);

   private:
    friend class PackagePool;
    Block* next = nullptr;
    std::size_t bytes = 0;  // counted against the limit while kept
    // Channels below this may hold sample storage: the most any package
    // built in this block had, so that counting its bytes need not look
    // at every channel slot.
    std::uint32_t storedChannels = 0;
    // The most samples any of those channels has room for, as of the
    // block's return: what take checks before fitting channels one by one.
    std::size_t largestChannel = 0;
    // Set while the package is out, so that the pool outlives it; also
    // while the block is kept after coming back through LocalReturns.
    std::shared_ptr<PackagePool> owner;
  };

  // While an object of this class lives, blocks of `pool` that come back
  // on the constructing thread are kept without an atomic operation. Only
  // for the thread that takes from the pool, and only while it does not
  // take: around a hand-over. Scopes nest; the innermost names the pool.
  class LocalReturns {
   public:
    explicit LocalReturns(PackagePool& pool) noexcept;
    ~LocalReturns();
    LocalReturns(const LocalReturns&) = delete;
    LocalReturns& operator=(const LocalReturns&) = delete;

   private:
    PackagePool* previous;
  };

  explicit PackagePool(std::size_t limitBytes = defaultLimitBytes) : limitBytes(limitBytes) {}
  ~PackagePool();
  PackagePool(const PackagePool&) = delete;
  PackagePool& operator=(const PackagePool&) = delete;

  // A block for an object of `objectBytes` (always the same size), from
  // `pool`'s kept blocks when it has one, else new. Its storage for the
  // first `channels` channels is fitted to `samples` samples each: sample
  // storage that they would fill less than half of is freed, and so is that
  // of the channels behind them when it is more than twice what the package
  // needs plus 16 KiB, so that a package never holds much more
  // memory than its samples need. Only ever called on one thread at a time
  // (the I/O thread of the stream's current connection). Throws
  // std::bad_alloc.
  static Block* take(const std::shared_ptr<PackagePool>& pool, std::size_t objectBytes,
                     std::uint32_t channels, std::size_t samples);
  // The package in `block` is gone: the block goes back to its pool, or is
  // freed when the pool has no room for it. Any thread.
  static void giveBack(Block* block) noexcept;

  // The blocks kept through LocalReturns give up their reference to the
  // pool, so that it goes with its last package. On the taking thread, or
  // once it takes no more.
  void detachKept() noexcept;

  // Exact while no block comes back on another thread.
  std::size_t keptBytes() const {
    return heldBytes.load(std::memory_order_relaxed) + localBytes.load(std::memory_order_relaxed);
  }

 private:
  // The bytes the block holds; also notes its largest channel.
  static std::size_t measure(Block& block);
  static void destroy(Block* block) noexcept;
  void keep(Block* block) noexcept;
  void keepLocal(Block* block) noexcept;

  std::atomic<Block*> returned{nullptr};  // pushed by any thread
  Block* ready = nullptr;                 // taken over by the I/O thread
  // Of the blocks kept: those that came back on other threads (heldBytes)
  // and those that came back on the taking thread and still hold `owner`
  // (localBytes; written by that thread alone, read anywhere). A block on
  // `ready` is counted in the one its `owner` tells.
  std::atomic<std::size_t> heldBytes{0};
  std::atomic<std::size_t> localBytes{0};
  std::size_t objectBytes = 0;  // of the blocks made so far
  const std::size_t limitBytes;
};
