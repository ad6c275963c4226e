#pragma once

// Plain sockets of the benchmark's boards and baseline receivers, and the go
// signal from the parent to a board process. Addresses, listening and
// waiting come from the simulated board (boardsim/Net.hpp); what is here
// blocks on purpose, since the baselines are plain blocking calls.

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "boardsim/Net.hpp"

namespace bench {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() { boardsim::net::closeFd(fd_); }

 private:
  int fd_ = -1;
};

// A blocking pipe that crosses fork: the parent writes the go byte and closes
// its write end to say it is done, which a net::WakePipe (both ends in one
// owner) cannot express.
struct Pipe {
  Fd read;
  Fd write;
};

Pipe makePipe();

void setTimeouts(int fd, int milliseconds);
void setNoDelay(int fd);

/// A listening socket on `ip` at the board port; throws std::system_error.
Fd listenOn(const std::string& ip);

/// A blocking connection to the board port of `ip`, with send and receive
/// time-outs of `timeoutMs`; throws std::system_error.
Fd connectTo(const std::string& ip, int timeoutMs);

/// True once `fd` is readable (or at its end) within `timeoutMs`.
bool waitReadable(int fd, int timeoutMs);

/// Accepts one connection within `timeoutMs`; an empty Fd if none came. The
/// connection blocks and keeps Nagle's algorithm, unlike
/// net::acceptConnection's, because the boards write to it with blocking calls
/// and the streaming board's segments stay as the system makes them.
Fd acceptOne(int listenFd, int timeoutMs);

// Blocking send and receive of exactly `size` bytes: the paced board, the
// ping-pong and the baseline receivers time these very calls. False on a
// failure or, for recvAll, at the end of the stream.
inline bool sendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline bool recvAll(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, MSG_WAITALL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The go signal: one byte from the parent once its receiver is ready and the
// clock runs.
bool waitForGo(int goFd, int timeoutMs);
void signalGo(int goFd);

}  // namespace bench
