#pragma once

// Threads and descriptors of the test process, for checks that a parser
// releases everything it made.

#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <thread>

#include "e2e/Collector.hpp"

namespace e2e {

inline std::size_t entries(const char* dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}
inline std::size_t threadCount() { return entries("/proc/self/task"); }
inline std::size_t fdCount() { return entries("/proc/self/fd"); }

// The process's thread count once a first thread has come and gone: a
// sanitizer runtime starts a helper thread of its own at that point. The
// joined thread itself can stay listed for a moment after the join (under
// an emulator its host thread ends later), so the count is taken once it is
// gone.
inline std::size_t baselineThreadCount() {
  long tid = 0;
  std::thread([&tid] { tid = ::syscall(SYS_gettid); }).join();
  const std::string path = "/proc/self/task/" + std::to_string(tid);
  eventually([&] { return !std::filesystem::exists(path); }, 10s);
  return threadCount();
}

}  // namespace e2e
