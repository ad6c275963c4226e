#include "CpuPinning.hpp"

#include <fmt/format.h>

namespace bench {

CpuPinning CpuPinning::choose(bool wanted) {
  CpuPinning p;
  if (!wanted) {
    p.text_ = "not pinned (--no-pin)";
    return p;
  }
  if (sched_getaffinity(0, sizeof p.original_, &p.original_) != 0) {
    p.text_ = "not pinned (the allowed CPUs could not be read)";
    return p;
  }
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &p.original_)) continue;
    if (p.boardCpu_ < 0) p.boardCpu_ = cpu;
    p.receiverCpu_ = cpu;
  }
  if (p.boardCpu_ < 0 || p.boardCpu_ == p.receiverCpu_) {
    p.text_ = "not pinned (one CPU allowed)";
    return p;
  }
  p.active_ = true;
  p.text_ = fmt::format("boards on CPU {}, receivers on CPU {}", p.boardCpu_, p.receiverCpu_);
  return p;
}

void CpuPinning::pin(int cpu) const {
  if (!active_) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  // A failure leaves the thread where it was: the figures are then those
  // of an unpinned run, which is still a valid run.
  (void)sched_setaffinity(0, sizeof one, &one);
}

void CpuPinning::pinReceiver() const { pin(receiverCpu_); }

void CpuPinning::pinBoard() const { pin(boardCpu_); }

void CpuPinning::release() const {
  if (active_) (void)sched_setaffinity(0, sizeof original_, &original_);
}

}  // namespace bench
