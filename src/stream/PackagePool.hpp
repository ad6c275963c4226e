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
class PackagePool {
 public:
  using Waveforms = package::Waveforms;
  static constexpr std::size_t defaultLimitBytes = 4u << 20;

  // The memory of one package: the storage it keeps between two lives,
  // then the object. A package moves the storage in when it is built and
  // swaps it back when it is destroyed; the vectors keep their old samples
  // and size, so that a caller who overwrites them in place (resize, then
  // copy) pays no zero-fill.
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
    // Set while the package is out, so that the pool outlives it.
    std::shared_ptr<PackagePool> owner;
  };

  explicit PackagePool(std::size_t limitBytes = defaultLimitBytes) : limitBytes(limitBytes) {}
  ~PackagePool();
  PackagePool(const PackagePool&) = delete;
  PackagePool& operator=(const PackagePool&) = delete;

  // A block for an object of `objectBytes` (always the same size), from
  // `pool`'s kept blocks when it has one, else new. Its storage for the
  // first `channels` channels is fitted to `samples` samples each: sample
  // storage that they would fill less than half of is freed, so that a
  // package never holds much more memory than its samples need. Only ever
  // called on one thread at a time (the I/O thread of the stream's current
  // connection). Throws std::bad_alloc.
  static Block* take(const std::shared_ptr<PackagePool>& pool, std::size_t objectBytes,
                     std::uint32_t channels, std::size_t samples);
  // The package in `block` is gone: the block goes back to its pool, or is
  // freed when the pool has no room for it. Any thread.
  static void giveBack(Block* block) noexcept;

  std::size_t keptBytes() const { return heldBytes.load(std::memory_order_relaxed); }

 private:
  static std::size_t bytesOf(const Block& block);
  static void destroy(Block* block) noexcept;
  void keep(Block* block) noexcept;

  std::atomic<Block*> returned{nullptr};  // pushed by any thread
  Block* ready = nullptr;                 // taken over by the I/O thread
  std::atomic<std::size_t> heldBytes{0};
  std::size_t objectBytes = 0;  // of the blocks made so far
  const std::size_t limitBytes;
};
