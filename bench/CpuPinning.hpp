#pragma once

// Keeps the boards and the receivers of a comparison on CPUs of their own:
// the boards on one, the receiving process (every thread it starts after
// pinning, the library's I/O thread among them) on another. Left to the
// scheduler, a board and its receiver share a core in some rounds and not in
// others; one that shares a core with its sender reads larger batches with
// fewer wake-ups, and so the same receiver's CPU per package moved by a
// factor of two between rounds. Both receivers of a pair are pinned alike.

#include <sched.h>

#include <string>

namespace bench {

class CpuPinning {
 public:
  // Two CPUs of the calling thread's allowed set: the first for the boards,
  // the last for the receivers. Inactive when `wanted` is false or fewer
  // than two CPUs are allowed.
  static CpuPinning choose(bool wanted);

  bool active() const { return active_; }
  // The calling thread (and the threads and children it starts from now).
  void pinReceiver() const;
  void pinBoard() const;
  // Back to the set the thread had when chosen.
  void release() const;
  // "boards on CPU 0, receivers on CPU 1", or why nothing is pinned.
  const std::string& describe() const { return text_; }

 private:
  void pin(int cpu) const;

  bool active_ = false;
  int boardCpu_ = -1;
  int receiverCpu_ = -1;
  cpu_set_t original_{};
  std::string text_;
};

}  // namespace bench
