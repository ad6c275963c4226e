#include "stream/SampleRecycler.hpp"

#include <new>
#include <utility>

SampleRecycler::~SampleRecycler() {
  for (Node* list : {ready, returned.load(std::memory_order_acquire)}) {
    while (list != nullptr) {
      Node* next = list->next;
      delete list;
      list = next;
    }
  }
}

void SampleRecycler::give(std::vector<std::uint32_t>& samples) noexcept {
  const std::size_t bytes = samples.capacity() * sizeof(std::uint32_t);
  if (bytes == 0) return;
  if (heldBytes.fetch_add(bytes, std::memory_order_relaxed) + bytes > limitBytes) {
    heldBytes.fetch_sub(bytes, std::memory_order_relaxed);
    return;
  }
  Node* node = new (std::nothrow) Node{nullptr, {}};
  if (node == nullptr) {
    heldBytes.fetch_sub(bytes, std::memory_order_relaxed);
    return;
  }
  node->samples.swap(samples);
  node->next = returned.load(std::memory_order_relaxed);
  while (!returned.compare_exchange_weak(node->next, node, std::memory_order_release,
                                         std::memory_order_relaxed)) {
  }
}

std::vector<std::uint32_t> SampleRecycler::take(std::size_t samples) noexcept {
  if (samples == 0) return {};
  if (ready == nullptr) {
    // Taking the whole list at once is free of the ABA problem that popping
    // single nodes from a shared stack has.
    ready = returned.exchange(nullptr, std::memory_order_acquire);
    if (ready == nullptr) return {};
  }
  Node* node = ready;
  ready = node->next;
  std::vector<std::uint32_t> kept = std::move(node->samples);
  delete node;
  heldBytes.fetch_sub(kept.capacity() * sizeof(std::uint32_t), std::memory_order_relaxed);
  if (kept.capacity() > 2 * samples) return {};  // kept is freed here
  return kept;
}
