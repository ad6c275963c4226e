#pragma once

// A tool started as a child process for a test: its standard output and
// standard error are read through pipes, every wait has a deadline, and the
// destructor kills and reaps a child that is still running.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tooltest {

using Clock = std::chrono::steady_clock;

class ChildProcess {
 public:
  /// Starts the program at `path` with `args` (argv[1] on) and the test's
  /// environment. Throws std::system_error when it cannot be started.
  ChildProcess(const std::string& path, const std::vector<std::string>& args);
  /// Kills the child if it still runs and reaps it (bounded).
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Sends `signal` to the child, unless it has been reaped.
  void signal(int signal);
  /// Waits until the child has ended and both pipes are at their end, at
  /// most `timeout`. Returns its exit status, or 128 + the signal that
  /// killed it; nothing while it still runs.
  std::optional<int> wait(Clock::duration timeout);
  /// Waits until `text` has appeared on standard output (or standard error
  /// if `onError`), at most `timeout`; false as well once the child ended
  /// without printing it.
  bool waitForOutput(std::string_view text, Clock::duration timeout, bool onError = false);
  /// Reads whatever output arrives within `timeout`; returns early when
  /// something arrived or the child ended.
  void pump(Clock::duration timeout);
  /// True until the child's end has been seen.
  bool running();

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  /// Both outputs, for failure messages.
  std::string outputs() const;

 private:
  void poll(Clock::time_point deadline);
  void reap(bool block);

  pid_t pid_ = -1;
  int pidFd_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::optional<int> status_;
  std::string out_;
  std::string err_;
};

}  // namespace tooltest
