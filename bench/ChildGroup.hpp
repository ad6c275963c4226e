#pragma once

// The benchmark's boards run as forked child processes, so that the parent's
// resource usage (getrusage RUSAGE_SELF) is that of the receiving side alone.
// Every child dies with the parent and after a time limit, and is always
// reaped.

#include <sys/types.h>

#include <functional>
#include <vector>

namespace bench {

/// Runs `body` in a forked child that dies with the parent and, at the
/// latest, after `limitSeconds`. The child ends with body's return value (1
/// if it throws) and never returns here.
pid_t spawnChild(unsigned limitSeconds, const std::function<int()>& body);

/// Gives the child `graceMs` to end by itself, then kills it; always reaps.
void reapChild(pid_t pid, int graceMs);

/// Kills and reaps every child still alive.
void killAllChildren();

// Kills and reaps a group of children on every way out of a scope.
class ChildGroup {
 public:
  ChildGroup() = default;
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;
  ~ChildGroup() { reap(0); }
  void add(pid_t pid) { pids_.push_back(pid); }
  void reap(int graceMs) {
    for (const pid_t pid : pids_) {
      reapChild(pid, graceMs);
    }
    pids_.clear();
  }

 private:
  std::vector<pid_t> pids_;
};

}  // namespace bench
