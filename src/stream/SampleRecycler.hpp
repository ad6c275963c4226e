#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// Keeps the sample storage of destroyed packages for the packages decoded
// next. Without it every batch allocates its sample vectors afresh and frees
// them together when the application is done with them; the C library then
// hands that memory back to the system and faults it in again for the next
// batch, page by page.
//
// Packages may be destroyed on any thread, and packages are decoded on the
// connection's I/O thread, so storage comes back through a lock-free list:
// any thread pushes, the I/O thread takes the whole list at once. The
// recycler keeps at most `limitBytes` of storage; beyond that a vector is
// simply freed.
class SampleRecycler {
 public:
  static constexpr std::size_t defaultLimitBytes = 4u << 20;

  explicit SampleRecycler(std::size_t limitBytes = defaultLimitBytes) : limitBytes(limitBytes) {}
  ~SampleRecycler();
  SampleRecycler(const SampleRecycler&) = delete;
  SampleRecycler& operator=(const SampleRecycler&) = delete;

  // Keeps the storage of `samples` if there is room; any thread.
  void give(std::vector<std::uint32_t>& samples) noexcept;
  // Storage for `samples` samples: a recycled vector when one is kept whose
  // capacity the samples fill at least half of, else an empty one. (A
  // recycled vector that is more than twice too large is freed instead, so
  // that a package never holds much more memory than its samples need.) A
  // recycled vector still holds its old samples, so that a caller who
  // overwrites them in place (resize, then copy) pays no zero-fill. Only ever
  // called from one thread at a time (the I/O thread of the stream's
  // current connection).
  std::vector<std::uint32_t> take(std::size_t samples) noexcept;

  std::size_t keptBytes() const { return heldBytes.load(std::memory_order_relaxed); }

 private:
  struct Node {
    Node* next;
    std::vector<std::uint32_t> samples;
  };

  std::atomic<Node*> returned{nullptr};  // pushed by any thread
  Node* ready = nullptr;                 // taken over by the consumer
  std::atomic<std::size_t> heldBytes{0};
  const std::size_t limitBytes;
};
