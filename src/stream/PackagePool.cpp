#include "stream/PackagePool.hpp"

#include <algorithm>
#include <cassert>
#include <new>
#include <utility>

namespace {

// The object follows the block's header, aligned as operator new aligns.
constexpr std::size_t headerBytes = (sizeof(PackagePool::Block) + alignof(std::max_align_t) - 1) /
                                    alignof(std::max_align_t) * alignof(std::max_align_t);

constexpr auto relaxed = std::memory_order_relaxed;

// Sample storage of channels a package leaves empty that it may keep
// whatever its own size: 16 KiB.
constexpr std::size_t smallSpareSamples = 4096;

// The pool whose blocks come back to this thread's hand (LocalReturns).
thread_local PackagePool* localPool = nullptr;

}  // namespace

PackagePool::LocalReturns::LocalReturns(PackagePool& pool) noexcept : previous(localPool) {
  localPool = &pool;
}

PackagePool::LocalReturns::~LocalReturns() { localPool = previous; }

void* PackagePool::Block::object() { return reinterpret_cast<char*>(this) + headerBytes; }

PackagePool::Block* PackagePool::Block::of(void* object) {
  return std::launder(reinterpret_cast<Block*>(static_cast<char*>(object) - headerBytes));
}

PackagePool::~PackagePool() {
  for (Block* list : {ready, returned.load(std::memory_order_acquire)}) {
    while (list != nullptr) {
      Block* next = list->next;
      destroy(list);
      list = next;
    }
  }
}

std::size_t PackagePool::measure(Block& block) {
  std::size_t samples = 0;
  std::size_t largest = 0;
  for (std::uint32_t c = 0; c < block.storedChannels; ++c) {
    const std::size_t capacity = block.waveforms[c].capacity();
    samples += capacity;
    largest = std::max(largest, capacity);
  }
  block.largestChannel = largest;
  return headerBytes + (block.channelTypes.capacity() + samples) * sizeof(std::uint32_t);
}

void PackagePool::destroy(Block* block) noexcept {
  block->~Block();
  ::operator delete(static_cast<void*>(block));
}

PackagePool::Block* PackagePool::take(const std::shared_ptr<PackagePool>& pool, std::size_t objectBytes,
                                      std::uint32_t channels, std::size_t samples) {
  PackagePool& self = *pool;
  assert(self.objectBytes == 0 || self.objectBytes == objectBytes);
  self.objectBytes = objectBytes;
  if (self.ready == nullptr) {
    // Taking the whole list at once is free of the ABA problem that popping
    // single nodes from a shared stack has.
    self.ready = self.returned.exchange(nullptr, std::memory_order_acquire);
  }
  Block* block = self.ready;
  if (block != nullptr) {
    self.ready = block->next;
    // A block that still holds the pool came back on this thread.
    if (block->owner) {
      self.localBytes.store(self.localBytes.load(relaxed) - block->bytes, relaxed);
    } else {
      self.heldBytes.fetch_sub(block->bytes, relaxed);
    }
    const std::uint32_t used = std::min(channels, package::maxChannels);
    if (block->largestChannel > 2 * samples) {
      for (std::uint32_t c = 0; c < used; ++c) {
        std::vector<std::uint32_t>& kept = block->waveforms[c];
        if (kept.capacity() > 2 * samples) std::vector<std::uint32_t>().swap(kept);
      }
    }
    // The channels this package leaves empty keep their storage only while
    // it is not much more than the package's own samples (or small): a
    // package the application keeps holds the block's storage all the
    // while. Kept, it serves the next package of the larger shape without
    // an allocation, which matters where shapes alternate.
    if (block->storedChannels > used) {
      std::size_t spare = 0;
      for (std::uint32_t c = used; c < block->storedChannels; ++c) spare += block->waveforms[c].capacity();
      if (spare > 2 * static_cast<std::size_t>(used) * samples + smallSpareSamples) {
        for (std::uint32_t c = used; c < block->storedChannels; ++c) {
          std::vector<std::uint32_t>().swap(block->waveforms[c]);
        }
        block->storedChannels = used;
      }
    }
  } else {
    block = ::new (::operator new(headerBytes + objectBytes)) Block();
  }
  block->next = nullptr;
  block->storedChannels = std::max(block->storedChannels, std::min(channels, package::maxChannels));
  if (!block->owner) block->owner = pool;
  return block;
}

void PackagePool::giveBack(Block* block) noexcept {
  PackagePool* const home = block->owner.get();
  if (home != nullptr && home == localPool) {
    home->keepLocal(block);
    return;
  }
  // The last package may hold the last reference: the pool then goes when
  // this ends, and frees the block with the others it kept.
  const std::shared_ptr<PackagePool> pool = std::move(block->owner);
  if (pool) {
    pool->keep(block);
  } else {
    destroy(block);
  }
}

void PackagePool::keep(Block* block) noexcept {
  const std::size_t bytes = measure(*block);
  block->bytes = bytes;
  if (heldBytes.fetch_add(bytes, relaxed) + bytes + localBytes.load(relaxed) > limitBytes) {
    heldBytes.fetch_sub(bytes, relaxed);
    destroy(block);
    return;
  }
  block->next = returned.load(relaxed);
  while (!returned.compare_exchange_weak(block->next, block, std::memory_order_release, relaxed)) {
  }
}

void PackagePool::keepLocal(Block* block) noexcept {
  // On the taking thread, which does not take meanwhile: `ready` and
  // localBytes are its own. The block keeps its reference to the pool.
  const std::size_t bytes = measure(*block);
  const std::size_t local = localBytes.load(relaxed);
  if (heldBytes.load(relaxed) + local + bytes > limitBytes) {
    destroy(block);
    return;
  }
  block->bytes = bytes;
  block->next = ready;
  ready = block;
  localBytes.store(local + bytes, relaxed);
}

void PackagePool::detachKept() noexcept {
  std::size_t moved = 0;
  for (Block* block = ready; block != nullptr; block = block->next) {
    if (block->owner) {
      moved += block->bytes;
      block->owner.reset();
    }
  }
  localBytes.store(localBytes.load(relaxed) - moved, relaxed);
  heldBytes.fetch_add(moved, relaxed);
}
