#include "boardsim/Net.hpp"
#include "boardsim/NetSystem.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace boardsim::net {

using os::prefixed;

void os::start() {}

int os::poll(PollFd* fds, std::size_t count, int timeoutMs) {
  const int ready = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
  if (ready < 0) {
    if (errno == EINTR) {
      return -1;
    }
    throwErrno("poll");
  }
  return ready;
}

void throwErrno(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

void closeFd(int& fd) noexcept {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

int makeListener(const std::string& address, std::uint16_t port, int backlog, const std::string& who) {
  const Endpoint ep = parseEndpoint(address, port, who);
  const std::string where = address + " port " + std::to_string(port);
  int fd = ::socket(ep.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    throwErrno(prefixed(who, "socket for " + where));
  }
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd, ep.addr(), ep.length) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    throwErrno(prefixed(who, "cannot bind " + where));
  }
  if (::listen(fd, backlog) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    throwErrno(prefixed(who, "cannot listen on " + where));
  }
  return fd;
}

int acceptConnection(int listener, const std::string& who, std::string* peer) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  const int fd =
      ::accept4(listener, reinterpret_cast<sockaddr*>(&storage), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
      return -1;
    }
    throwErrno(prefixed(who, "accept"));
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (peer != nullptr) *peer = os::endpointText(storage);
  return fd;
}

bool peerHasClosed(int fd) {
  std::uint8_t scratch[4096];
  // Bounded: a client that keeps sending is read again at the next wait.
  for (int i = 0; i < 64; ++i) {
    const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n > 0) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return false;
    }
    return true;
  }
  return false;
}

std::ptrdiff_t sendSome(int fd, const std::uint8_t* data, std::size_t length) {
  for (;;) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      return n > 0 || length == 0 ? n : -1;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return 0;
    }
    return -1;  // EPIPE, ECONNRESET and the like: the peer is gone
  }
}

int startConnect(const Endpoint& endpoint, const std::string& who) {
  const int fd = ::socket(endpoint.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    throwErrno(prefixed(who, "socket for a connect"));
  }
  if (::connect(fd, endpoint.addr(), endpoint.length) != 0 && errno != EINPROGRESS) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    throwErrno(prefixed(who, "connect"));
  }
  return fd;
}

bool waitConnected(int fd, int timeoutMs, const std::string& who) {
  pollfd p{fd, POLLOUT, 0};
  const int ready = ::poll(&p, 1, timeoutMs);
  if (ready == 0) {
    return false;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    throwErrno(prefixed(who, "connect"));
  }
  if (error != 0) {
    errno = error;
    throwErrno(prefixed(who, "connect"));
  }
  return true;
}

namespace {

// For a listening socket the system reports the length of the accept
// queue in tcpi_unacked and the backlog in tcpi_sacked.
std::optional<tcp_info> listenerInfo(int listener) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (listener < 0 || ::getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
    return std::nullopt;
  }
  // An emulator may hand back only the first bytes of the record.
  if (length < offsetof(tcp_info, tcpi_sacked) + sizeof info.tcpi_sacked) {
    return std::nullopt;
  }
  return info;
}

// The length of the listener's accept queue as the system's socket table
// shows it (rx_queue of the LISTEN entry), for where TCP_INFO is missing.
std::optional<std::size_t> acceptQueueFromTable(int listener) {
  char link[64] = {};
  const std::string fdPath = "/proc/self/fd/" + std::to_string(listener);
  if (listener < 0 || ::readlink(fdPath.c_str(), link, sizeof link - 1) <= 0) {
    return std::nullopt;
  }
  unsigned long inode = 0;
  if (std::sscanf(link, "socket:[%lu]", &inode) != 1) {
    return std::nullopt;
  }
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
      unsigned long entryInode = 0;
      if (fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
              entryInode &&
          entryInode == inode) {
        const std::size_t colon = queues.find(':');
        if (colon == std::string::npos) return std::nullopt;
        return static_cast<std::size_t>(std::stoul(queues.substr(colon + 1), nullptr, 16));
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<AcceptQueue> acceptQueue(int listener) {
  if (const auto info = listenerInfo(listener)) {
    // More connections than the backlog allows: further requests are dropped.
    return AcceptQueue{info->tcpi_unacked, info->tcpi_unacked > info->tcpi_sacked};
  }
  if (const auto waiting = acceptQueueFromTable(listener)) {
    return AcceptQueue{*waiting, false};
  }
  return std::nullopt;
}

int unsentBytes(int fd) {
  int unsent = 0;
  if (::ioctl(fd, SIOCOUTQ, &unsent) != 0) {
    return 0;
  }
  return unsent;
}

void setAbortiveClose(int fd) {
  const linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

WakePipe::WakePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throwErrno("pipe");
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
}

WakePipe::~WakePipe() {
  closeFd(readFd_);
  closeFd(writeFd_);
}

void WakePipe::wake() const noexcept {
  const std::uint8_t byte = 1;
  // A full pipe is readable already, which is all a wake-up needs.
  [[maybe_unused]] const ssize_t n = ::write(writeFd_, &byte, 1);
}

}  // namespace boardsim::net
