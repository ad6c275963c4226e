#include "tools/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

extern char** environ;

// The emulator's program and arguments as string literals, or nothing.
#ifndef VARNEL_TEST_EMULATOR
#define VARNEL_TEST_EMULATOR
#endif

namespace tooltest {

using namespace std::chrono_literals;

namespace {

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// Reads what is there; closes `fd` at the end of the pipe.
void drain(int& fd, std::string& into) {
  char buffer[4096];
  for (int i = 0; i < 256 && fd >= 0; ++i) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
      closeFd(fd);
    } else if (errno != EINTR) {
      return;
    }
  }
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  if (::pipe2(err, O_CLOEXEC) != 0) {
    const int saved = errno;
    ::close(out[0]);
    ::close(out[1]);
    throw std::system_error(saved, std::generic_category(), "pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // The child starts with no signal blocked and the default reactions.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // Where the build's programs cannot run natively (a 32-bit build on a
  // kernel without 32-bit support, a build for another CPU), they run under
  // the emulator the build found; it passes signals and the exit status
  // through.
  static const std::vector<std::string> emulator{VARNEL_TEST_EMULATOR};
  std::vector<char*> argv;
  for (const std::string& word : emulator) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  ::close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
  if (rc != 0) {
    closeFd(outFd_);
    closeFd(errFd_);
    throw std::system_error(rc, std::generic_category(), "cannot start " + path);
  }
  ::fcntl(outFd_, F_SETFL, O_NONBLOCK);
  ::fcntl(errFd_, F_SETFL, O_NONBLOCK);
  // Without pidfd (kernels before 5.3) the end of the child is polled.
  pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

ChildProcess::~ChildProcess() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  closeFd(pidFd_);
  closeFd(outFd_);
  closeFd(errFd_);
}

void ChildProcess::signal(int signal) {
  reap(false);
  if (!status_) ::kill(pid_, signal);
}

void ChildProcess::reap(bool block) {
  if (status_) return;
  int status = 0;
  pid_t done = -1;
  do {
    done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    closeFd(pidFd_);
  }
}

void ChildProcess::poll(Clock::time_point deadline) {
  pollfd fds[3];
  nfds_t n = 0;
  if (outFd_ >= 0) fds[n++] = {outFd_, POLLIN, 0};
  if (errFd_ >= 0) fds[n++] = {errFd_, POLLIN, 0};
  if (pidFd_ >= 0) fds[n++] = {pidFd_, POLLIN, 0};
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  if (pidFd_ < 0 && !status_) left = std::min<std::chrono::milliseconds>(left, 10ms);
  left = std::max<std::chrono::milliseconds>(left, 0ms);
  ::poll(fds, n, static_cast<int>(left.count()));  // with nothing to watch, a bounded pause
  drain(outFd_, out_);
  drain(errFd_, err_);
  reap(false);
}

void ChildProcess::pump(Clock::duration timeout) { poll(Clock::now() + timeout); }

bool ChildProcess::running() {
  reap(false);
  return !status_;
}

std::optional<int> ChildProcess::wait(Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  for (int i = 0; i < 100000 && !(status_ && outFd_ < 0 && errFd_ < 0); ++i) {
    if (Clock::now() >= deadline) break;
    poll(deadline);
  }
  return status_;
}

bool ChildProcess::waitForOutput(std::string_view text, Clock::duration timeout, bool onError) {
  const auto deadline = Clock::now() + timeout;
  const std::string& where = onError ? err_ : out_;
  for (int i = 0; i < 100000; ++i) {
    if (where.find(text) != std::string::npos) return true;
    const int fd = onError ? errFd_ : outFd_;
    if (Clock::now() >= deadline || (fd < 0 && status_)) return false;
    poll(deadline);
  }
  return where.find(text) != std::string::npos;
}

std::string ChildProcess::outputs() const { return "--- stdout:\n" + out_ + "--- stderr:\n" + err_; }

}  // namespace tooltest
