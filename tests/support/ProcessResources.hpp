#pragma once

// Threads and descriptors of the test process, for checks that a parser
// releases everything it made. On Windows: the process's threads in a
// system snapshot, less the system's thread-pool workers, and its open
// handles (sockets among them).

#if defined(_WIN32)
#include <windows.h>
// tlhelp32.h needs windows.h first.
#include <tlhelp32.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

#if defined(_WIN32)
#include <gtest/gtest.h>
#endif

#include <cstddef>
#include <filesystem>
#include <string>
#include <thread>

#include "support/Collector.hpp"

namespace support {

#if defined(_WIN32)

// Whether a thread of this process was started by the system's own thread
// pool (in ntdll), which keeps idle workers for a while after using them.
inline bool isSystemWorker(DWORD threadId) {
  using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  static const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
  const HANDLE thread = ::OpenThread(THREAD_QUERY_INFORMATION, FALSE, threadId);
  if (query == nullptr || thread == nullptr) {
    if (thread != nullptr) ::CloseHandle(thread);
    return false;
  }
  void* start = nullptr;
  constexpr int threadQuerySetWin32StartAddress = 9;
  const bool known = query(thread, threadQuerySetWin32StartAddress, &start, sizeof start, nullptr) == 0;
  ::CloseHandle(thread);
  HMODULE module = nullptr;
  return known &&
         ::GetModuleHandleExA(
             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
             static_cast<const char*>(start), &module) &&
         module == ::GetModuleHandleA("ntdll.dll");
}

inline std::size_t threadCount() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  std::size_t n = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId() && !isSystemWorker(entry.th32ThreadID)) ++n;
  }
  ::CloseHandle(snapshot);
  return n;
}
inline std::size_t fdCount() {
  DWORD handles = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &handles);
  return handles;
}
// A joined thread has ended: nothing lingers as it can under an emulator.
// On Windows, GoogleTest starts a thread that watches each thread using its
// per-thread state, at that thread's first assertion or trace; the main
// thread's watcher stays until the process ends, so it is started here,
// before counting, and not inside the first test that reports something.
inline std::size_t baselineThreadCount() {
  std::thread([] {}).join();
  { SCOPED_TRACE("thread baseline"); }
  return threadCount();
}

#else

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

#endif

}  // namespace support
