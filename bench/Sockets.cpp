#include "Sockets.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>

#include <fmt/format.h>

#include "Timing.hpp"

namespace bench {

namespace net = boardsim::net;

Pipe makePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    net::throwErrno("pipe2");
  }
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

void setTimeouts(int fd, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void setNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Fd listenOn(const std::string& ip) { return Fd(net::makeListener(ip, net::boardPort, 64, "")); }

Fd connectTo(const std::string& ip, int timeoutMs) {
  const net::Endpoint endpoint = net::parseEndpoint(ip, net::boardPort, "");
  Fd fd(::socket(endpoint.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    net::throwErrno("socket");
  }
  setTimeouts(fd.get(), timeoutMs);
  if (::connect(fd.get(), endpoint.addr(), endpoint.length) != 0) {
    net::throwErrno(fmt::format("connect {}:{}", ip, net::boardPort));
  }
  return fd;
}

bool waitReadable(int fd, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  return net::waitReady(-1, fd, false, -1, deadline).input;
}

Fd acceptOne(int listenFd, int timeoutMs) {
  if (!waitReadable(listenFd, timeoutMs)) {
    return Fd();
  }
  return Fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
}

bool waitForGo(int goFd, int timeoutMs) {
  char go = 0;
  return waitReadable(goFd, timeoutMs) && ::read(goFd, &go, 1) == 1;
}

void signalGo(int goFd) {
  const char go = 'g';
  [[maybe_unused]] const ssize_t n = ::write(goFd, &go, 1);
}

}  // namespace bench
