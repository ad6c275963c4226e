// The socket helpers of Net.hpp with Winsock. Sockets are non-blocking
// (FIONBIO) from their creation on; waits use WSAPoll. Under Wine, the
// unacknowledged bytes and the accept queue come from the Linux host's
// socket table.

#include "boardsim/Net.hpp"
#include "boardsim/NetSystem.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace boardsim::net {

namespace {

using os::handle;
using os::prefixed;

int descriptor(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

[[noreturn]] void throwLastError(const std::string& what) {
  throw std::system_error(::WSAGetLastError(), std::system_category(), what);
}

void setNonBlocking(SOCKET s, const std::string& what) {
  u_long on = 1;
  if (::ioctlsocket(s, FIONBIO, &on) != 0) {
    const int saved = ::WSAGetLastError();
    ::closesocket(s);
    throw std::system_error(saved, std::system_category(), what);
  }
}

SOCKET openSocket(int family, int type, const std::string& what) {
  os::start();
  const SOCKET s = ::socket(family, type, 0);
  if (s == INVALID_SOCKET) {
    throwLastError(what);
  }
  setNonBlocking(s, what);
  return s;
}

bool wouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS; }

// Under Wine a Winsock socket is a socket of the Linux host, and the host's
// socket table (/proc/net/tcp, on Wine's drive Z:, the host's root) shows
// what Windows does not tell a program: the bytes a connection's peer has
// not yet acknowledged, and the length of a listener's accept queue. On
// Windows itself there is no such table.
struct HostTableEntry {
  unsigned long sendQueue = 0;     // unacknowledged bytes (tx_queue)
  unsigned long receiveQueue = 0;  // an accept queue's length for a listener (rx_queue)
};

// An address as the table writes it: each 32-bit word of the address in
// network order, printed as the host (little-endian like Windows on x86)
// reads it, then the port.
std::string tableAddress(const sockaddr_storage& address) {
  char text[48] = {};
  std::uint32_t words[4] = {};
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    std::memcpy(words, &v6.sin6_addr, sizeof words);
    std::snprintf(text, sizeof text, "%08X%08X%08X%08X:%04X", static_cast<unsigned>(words[0]),
                  static_cast<unsigned>(words[1]), static_cast<unsigned>(words[2]),
                  static_cast<unsigned>(words[3]), static_cast<unsigned>(ntohs(v6.sin6_port)));
  } else {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    std::memcpy(words, &v4.sin_addr, sizeof words[0]);
    std::snprintf(text, sizeof text, "%08X:%04X", static_cast<unsigned>(words[0]),
                  static_cast<unsigned>(ntohs(v4.sin_port)));
  }
  return text;
}

// The table's entry of a listening socket (`listening`) or of a connection,
// found by its addresses; nullopt on Windows itself.
std::optional<HostTableEntry> hostTableEntry(int fd, bool listening) {
  sockaddr_storage local{};
  sockaddr_storage remote{};
  int length = sizeof local;
  if (fd < 0 || ::getsockname(handle(fd), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return std::nullopt;
  }
  length = sizeof remote;
  if (!listening && ::getpeername(handle(fd), reinterpret_cast<sockaddr*>(&remote), &length) != 0) {
    return std::nullopt;
  }
  const std::string wantLocal = tableAddress(local);
  const std::string wantRemote = listening ? std::string() : tableAddress(remote);
  std::ifstream in(local.ss_family == AF_INET6 ? "Z:\\proc\\net\\tcp6" : "Z:\\proc\\net\\tcp");
  std::string line;
  std::getline(in, line);  // column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, localField, remoteField, state, queues;
    if (!(fields >> slot >> localField >> remoteField >> state >> queues) || localField != wantLocal) {
      continue;
    }
    // 0A: listening; 06: an old connection in TIME_WAIT, which may share
    // the addresses of a newer one.
    if (listening ? state != "0A" : (remoteField != wantRemote || state == "06")) {
      continue;
    }
    const std::size_t colon = queues.find(':');
    if (colon == std::string::npos) {
      return std::nullopt;
    }
    return HostTableEntry{std::stoul(queues.substr(0, colon), nullptr, 16),
                          std::stoul(queues.substr(colon + 1), nullptr, 16)};
  }
  return std::nullopt;
}

}  // namespace

// Winsock is started once per process, before the first socket, and stays
// started until the process ends.
void os::start() {
  static const int started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) {
    throw std::system_error(started, std::system_category(), "WSAStartup");
  }
}

int os::poll(PollFd* fds, std::size_t count, int timeoutMs) {
  const int ready = ::WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
  if (ready < 0) {
    if (::WSAGetLastError() == WSAEINTR) {
      return -1;
    }
    throwLastError("WSAPoll");
  }
  return ready;
}

void throwErrno(const std::string& what) { throwLastError(what); }

void closeFd(int& fd) noexcept {
  if (fd >= 0) {
    ::closesocket(handle(fd));
    fd = -1;
  }
}

int makeListener(const std::string& address, std::uint16_t port, int backlog, const std::string& who) {
  const Endpoint ep = parseEndpoint(address, port, who);
  const std::string where = address + " port " + std::to_string(port);
  // No SO_REUSEADDR: on Windows it would let a second board bind the same
  // address, and Windows binds a port whose old connections linger in
  // TIME_WAIT without it.
  const SOCKET s = openSocket(ep.family(), SOCK_STREAM, prefixed(who, "socket for " + where));
  if (::bind(s, ep.addr(), ep.length) != 0) {
    const int saved = ::WSAGetLastError();
    ::closesocket(s);
    throw std::system_error(saved, std::system_category(), prefixed(who, "cannot bind " + where));
  }
  if (::listen(s, backlog) != 0) {
    const int saved = ::WSAGetLastError();
    ::closesocket(s);
    throw std::system_error(saved, std::system_category(), prefixed(who, "cannot listen on " + where));
  }
  return descriptor(s);
}

int acceptConnection(int listener, const std::string& who, std::string* peer) {
  sockaddr_storage storage{};
  int length = sizeof storage;
  const SOCKET s = ::accept(handle(listener), reinterpret_cast<sockaddr*>(&storage), &length);
  if (s == INVALID_SOCKET) {
    const int error = ::WSAGetLastError();
    if (wouldBlock(error) || error == WSAECONNRESET || error == WSAECONNABORTED) {
      return -1;
    }
    throw std::system_error(error, std::system_category(), prefixed(who, "accept"));
  }
  setNonBlocking(s, prefixed(who, "accept"));
  const BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  if (peer != nullptr) *peer = os::endpointText(storage);
  return descriptor(s);
}

bool peerHasClosed(int fd) {
  char scratch[4096];
  // Bounded: a client that keeps sending is read again at the next wait.
  for (int i = 0; i < 64; ++i) {
    const int n = ::recv(handle(fd), scratch, sizeof scratch, 0);
    if (n > 0) {
      continue;
    }
    if (n < 0 && wouldBlock(::WSAGetLastError())) {
      return false;
    }
    return true;
  }
  return false;
}

std::ptrdiff_t sendSome(int fd, const std::uint8_t* data, std::size_t length) {
  const int chunk = static_cast<int>(std::min<std::size_t>(length, 1 << 20));
  const int n = ::send(handle(fd), reinterpret_cast<const char*>(data), chunk, 0);
  if (n >= 0) {
    return n > 0 || length == 0 ? n : -1;
  }
  return wouldBlock(::WSAGetLastError()) ? 0 : -1;
}

int startConnect(const Endpoint& endpoint, const std::string& who) {
  const SOCKET s = openSocket(endpoint.family(), SOCK_STREAM, prefixed(who, "socket for a connect"));
  if (::connect(s, endpoint.addr(), endpoint.length) != 0 && !wouldBlock(::WSAGetLastError())) {
    const int saved = ::WSAGetLastError();
    ::closesocket(s);
    throw std::system_error(saved, std::system_category(), prefixed(who, "connect"));
  }
  return descriptor(s);
}

bool waitConnected(int fd, int timeoutMs, const std::string& who) {
  WSAPOLLFD p{handle(fd), POLLOUT, 0};
  const int ready = ::WSAPoll(&p, 1, timeoutMs);
  if (ready < 0) {
    throwLastError(prefixed(who, "connect"));
  }
  if (ready == 0) {
    return false;
  }
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(handle(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    throwLastError(prefixed(who, "connect"));
  }
  if (error != 0) {
    throw std::system_error(error, std::system_category(), prefixed(who, "connect"));
  }
  return true;
}

int unsentBytes(int fd) {
  const auto entry = hostTableEntry(fd, false);
  return entry ? static_cast<int>(entry->sendQueue) : 0;
}

std::optional<AcceptQueue> acceptQueue(int listener) {
  // The table does not show the backlog: whether the queue is full shows
  // only as a connect that does not complete.
  if (const auto entry = hostTableEntry(listener, true)) {
    return AcceptQueue{entry->receiveQueue, false};
  }
  return std::nullopt;
}

void setAbortiveClose(int fd) {
  const linger hard{1, 0};
  ::setsockopt(handle(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
}

WakePipe::WakePipe() {
  // A datagram socket on the loopback address, connected to itself: wake
  // sends it a byte, which makes it readable.
  const SOCKET s = openSocket(AF_INET, SOCK_DGRAM, "wake-up socket");
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof self;
  if (::bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    const int saved = ::WSAGetLastError();
    ::closesocket(s);
    throw std::system_error(saved, std::system_category(), "wake-up socket");
  }
  readFd_ = descriptor(s);
  writeFd_ = -1;
}

WakePipe::~WakePipe() { closeFd(readFd_); }

void WakePipe::wake() const noexcept {
  const char byte = 1;
  // A datagram that does not fit any more is not needed: the socket is
  // readable already.
  ::send(handle(readFd_), &byte, 1, 0);
}

}  // namespace boardsim::net
