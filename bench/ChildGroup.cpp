#include "ChildGroup.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "Timing.hpp"
#include "boardsim/Net.hpp"

namespace bench {

namespace {

std::vector<pid_t> liveChildren;

}  // namespace

pid_t spawnChild(unsigned limitSeconds, const std::function<int()>& body) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    boardsim::net::throwErrno("fork");
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(2);
    }
    signal(SIGALRM, SIG_DFL);
    alarm(limitSeconds);
    int rc = 1;
    try {
      rc = body();
    } catch (...) {
      rc = 1;
    }
    _exit(rc);
  }
  liveChildren.push_back(pid);
  return pid;
}

void reapChild(pid_t pid, int graceMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(graceMs);
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      break;
    }
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  liveChildren.erase(std::remove(liveChildren.begin(), liveChildren.end(), pid), liveChildren.end());
}

void killAllChildren() {
  for (const pid_t pid : liveChildren) {
    kill(pid, SIGKILL);
  }
  for (const pid_t pid : liveChildren) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  liveChildren.clear();
}

}  // namespace bench
