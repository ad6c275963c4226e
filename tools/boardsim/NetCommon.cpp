// The socket helpers of Net.hpp that read the same on every platform, on
// top of NetSystem.hpp.

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "boardsim/NetSystem.hpp"

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netdb.h>
#endif

namespace boardsim::net {

using namespace std::chrono_literals;
using os::handle;
using os::prefixed;

Endpoint parseEndpoint(const std::string& address, std::uint16_t port, const std::string& who) {
  os::start();
  Endpoint ep;
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&ep.storage);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&ep.storage);
  if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    ep.length = sizeof(sockaddr_in6);
  } else if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    ep.length = sizeof(sockaddr_in);
  } else if (address.find('%') != std::string::npos) {
    // A link-local IPv6 address with its scope (fe80::1%eth0), which the
    // system's resolver reads without asking any name server.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || found == nullptr ||
        found->ai_addrlen > sizeof ep.storage) {
      if (found != nullptr) ::freeaddrinfo(found);
      throw std::invalid_argument(prefixed(who, "not a numeric IP address: '" + address + "'"));
    }
    std::memcpy(&ep.storage, found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
    v6->sin6_port = htons(port);
    ep.length = sizeof(sockaddr_in6);
  } else {
    throw std::invalid_argument(prefixed(who, "not a numeric IP address: '" + address + "'"));
  }
  return ep;
}

std::string os::endpointText(const sockaddr_storage& storage) {
  char text[INET6_ADDRSTRLEN] = {};
  std::string name;
  if (storage.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    name.append("[").append(text).append("]:").append(std::to_string(ntohs(v6->sin6_port)));
  } else {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    name.append(text).append(":").append(std::to_string(ntohs(v4->sin_port)));
  }
  return name;
}

std::uint16_t freePort(const std::string& address) {
  int fd = makeListener(address, 0, 1, "");
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  std::uint16_t port = 0;
  if (::getsockname(handle(fd), reinterpret_cast<sockaddr*>(&storage), &length) == 0) {
    port = ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port
                                               : reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  }
  closeFd(fd);
  return port;
}

int pollTimeoutMs(std::optional<Clock::time_point> deadline) {
  if (!deadline) {
    return -1;
  }
  const auto left = *deadline - Clock::now();
  if (left <= 0ms) {
    return 0;
  }
  // At most an hour at a time (the caller looks at the deadline again): a
  // deadline weeks away would not fit poll's int, and a negative time-out
  // waits for ever.
  return static_cast<int>(std::min<std::int64_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count(),
                                                 std::int64_t{3600} * 1000));
}

Readiness waitReady(int wakeFd, int fd, bool wantWrite, int listener,
                    std::optional<Clock::time_point> deadline) {
  using Events = decltype(os::PollFd::events);
  for (;;) {
    os::PollFd fds[3] = {};
    std::size_t n = 0;
    int wakeIndex = -1;
    int fdIndex = -1;
    int listenerIndex = -1;
    if (wakeFd >= 0) {
      wakeIndex = static_cast<int>(n);
      fds[n++] = {handle(wakeFd), POLLIN, 0};
    }
    if (fd >= 0) {
      fdIndex = static_cast<int>(n);
      fds[n++] = {handle(fd), static_cast<Events>(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
    }
    if (listener >= 0) {
      listenerIndex = static_cast<int>(n);
      fds[n++] = {handle(listener), POLLIN, 0};
    }
    // An interrupted wait is taken up again: a signal handler that wants
    // the wait to end wakes the pipe.
    if (os::poll(fds, n, pollTimeoutMs(deadline)) < 0) {
      continue;
    }
    Readiness r;
    r.woken = wakeIndex >= 0 && fds[wakeIndex].revents != 0;
    if (fdIndex >= 0) {
      const auto revents = fds[fdIndex].revents;
      r.input = (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
      r.writable = (revents & POLLOUT) != 0;
    }
    r.listener = listenerIndex >= 0 && fds[listenerIndex].revents != 0;
    if (r.woken || r.input || r.writable || r.listener) {
      return r;
    }
    if (deadline && Clock::now() >= *deadline) {
      r.timedOut = true;
      return r;
    }
  }
}

SendEnd sendAll(int wakeFd, int fd, const std::uint8_t* data, std::size_t length,
                std::optional<Clock::time_point> deadline, std::atomic<std::uint64_t>& sent, int listener,
                const std::function<bool()>& newcomers, std::size_t* unsent) {
  const std::size_t total = length;
  std::optional<SendEnd> ending;  // the wake-up or the deadline came with a send begun
  Clock::time_point graceUntil;
  while (length > 0) {
    const std::ptrdiff_t n = sendSome(fd, data, length);
    if (n > 0) {
      data += n;
      length -= static_cast<std::size_t>(n);
      sent.fetch_add(static_cast<std::uint64_t>(n));
      continue;
    }
    if (n < 0 && !ending) return SendEnd::PeerGone;
    if (ending) {
      // Only the client counts now, for the grace time.
      if (n < 0 || Clock::now() >= graceUntil) break;
      const Readiness r = waitReady(-1, fd, true, -1, graceUntil);
      if (r.input && peerHasClosed(fd)) break;
      continue;
    }
    const Readiness r = waitReady(wakeFd, fd, true, newcomers ? listener : -1, deadline);
    if (r.input && peerHasClosed(fd)) return SendEnd::PeerGone;
    if (r.listener && !newcomers()) return SendEnd::PeerGone;
    if (r.woken || (deadline && Clock::now() >= *deadline)) {
      ending = r.woken ? SendEnd::Woken : SendEnd::TimeUp;
      if (length == total) break;
      // What was begun goes out whole if the client reads it soon enough.
      graceUntil = Clock::now() + finishGrace;
    }
  }
  if (unsent != nullptr) *unsent = length;
  return length == 0 ? SendEnd::Sent : *ending;
}

}  // namespace boardsim::net
