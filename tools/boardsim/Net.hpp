#pragma once

// Plain socket helpers shared by the simulated boards: listening on a
// numeric address, waiting on a socket together with a wake-up pipe, and
// the ways a board ends a connection. Everything here works on
// non-blocking descriptors and never raises SIGPIPE.
//
// Net.cpp implements them with POSIX sockets, NetWindows.cpp with Winsock;
// NetCommon.cpp holds what reads the same on both (see NetSystem.hpp).
// A socket is an int on both: Winsock's SOCKET is a kernel handle, whose
// value Windows keeps within 32 bits (INVALID_SOCKET becomes -1).

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "stream/PackageFormat.hpp"

namespace boardsim::net {

using Clock = std::chrono::steady_clock;

/// TCP port of the board, as the library knows it.
inline constexpr std::uint16_t boardPort = package::boardPort;

/// Throws std::system_error with the current errno and `what`.
[[noreturn]] void throwErrno(const std::string& what);

/// Closes `fd` if it is open and sets it to -1.
void closeFd(int& fd) noexcept;

/// A socket address of either family.
struct Endpoint {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family() const { return storage.ss_family; }
  const sockaddr* addr() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

/// Parses a numeric IPv6 or IPv4 address (no host names, no port suffix).
/// Throws std::invalid_argument whose text starts with `who` and a colon
/// (nothing for an empty `who`), as the functions below do.
Endpoint parseEndpoint(const std::string& address, std::uint16_t port, const std::string& who);

/// A non-blocking listening socket on `address` and `port` (SO_REUSEADDR
/// set, so that a board can be restarted at once). Throws std::system_error
/// with the system's text, std::invalid_argument for an address that is not
/// numeric; both name the address.
int makeListener(const std::string& address, std::uint16_t port, int backlog, const std::string& who);

/// A TCP port that nothing listens on at the numeric `address` now (the
/// system's choice of a free one), for a server a test or benchmark
/// starts. Throws as makeListener.
std::uint16_t freePort(const std::string& address);

/// Accepts one pending connection as a non-blocking socket with TCP_NODELAY,
/// and sets `*peer` (if given) to its client's "address:port", known even
/// when the client has reset the connection meanwhile. Returns -1 when none
/// is pending; throws std::system_error on failure.
int acceptConnection(int listener, const std::string& who, std::string* peer = nullptr);

/// Milliseconds for poll() until `deadline`, rounded up so that a wait
/// never ends before it, and at most an hour (the caller looks at the
/// deadline again); -1 (no limit) without a deadline.
int pollTimeoutMs(std::optional<Clock::time_point> deadline);

/// Reads and discards what the peer sent. Returns true when the peer has
/// closed its end or the connection failed, false while it is open.
bool peerHasClosed(int fd);

/// Sends what the socket takes now of `length` bytes: the count sent (> 0),
/// 0 when it takes nothing more at the moment, -1 when the connection is
/// gone (reset, closed by the peer, or failed otherwise).
std::ptrdiff_t sendSome(int fd, const std::uint8_t* data, std::size_t length);

/// How sendAll ended.
enum class SendEnd { Sent, PeerGone, Woken, TimeUp };

/// How long a stop waits for a slow client to take the rest of what was
/// begun (a package, a message), so that it ends between two of them.
inline constexpr auto finishGrace = std::chrono::seconds(1);

/// Sends all `length` bytes at `data` on the non-blocking `fd`, waiting
/// while the socket takes no more, until the wake-up pipe `wakeFd` is
/// readable, the peer has gone or `deadline` has passed (none: no limit).
/// When the wake-up or the deadline ends a send that had begun, the rest
/// is still sent if the client takes it within finishGrace (Sent). Adds each
/// part sent to `sent`, and sets `*unsent` (if given) to the bytes left.
/// With a `listener` (>= 0), calls `newcomers` while a connection waits
/// there; it returns false when the client served has gone (PeerGone).
/// Throws std::system_error when the wait fails.
SendEnd sendAll(int wakeFd, int fd, const std::uint8_t* data, std::size_t length,
                std::optional<Clock::time_point> deadline, std::atomic<std::uint64_t>& sent,
                int listener = -1, const std::function<bool()>& newcomers = {},
                std::size_t* unsent = nullptr);

/// A non-blocking socket of `endpoint`'s family with a connect to it under
/// way. Throws std::system_error whose text starts with `who`.
int startConnect(const Endpoint& endpoint, const std::string& who);

/// Waits up to `timeoutMs` for the connect of startConnect to complete:
/// true once it has, false when it has not by then. Throws
/// std::system_error when it failed.
bool waitConnected(int fd, int timeoutMs, const std::string& who);

/// Bytes handed to the system for sending that the peer has not yet
/// acknowledged; 0 also when they cannot be determined (on Windows itself;
/// under Wine they are read from the Linux host's socket table).
int unsentBytes(int fd);

/// Connections in the accept queue of a listening socket, and whether the
/// queue is so full that the system drops further connection requests;
/// nullopt where the system does not tell (Windows itself; under Wine the
/// length comes from the host's socket table, and `full` stays false).
struct AcceptQueue {
  std::size_t waiting = 0;
  bool full = false;
};
std::optional<AcceptQueue> acceptQueue(int listener);

/// Makes the next close() of `fd` abort the connection (RST) instead of
/// closing it in order.
void setAbortiveClose(int fd);

/// A pipe whose read end becomes readable once `wake` was called: lets a
/// thread blocked in poll() be woken from another thread or from a signal
/// handler. On Windows, a loopback datagram socket that `wake` sends to
/// (a console control handler runs on a thread of its own, so it may).
class WakePipe {
 public:
  WakePipe();  // throws std::system_error
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  /// Async-signal-safe; may be called any number of times.
  void wake() const noexcept;
  int readFd() const { return readFd_; }

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
};

/// What a wait on a connection saw; several may hold at once.
struct Readiness {
  bool woken = false;     // the wake-up pipe is readable
  bool input = false;     // the connection has input, a hang-up or an error
  bool writable = false;  // the connection takes more bytes
  bool listener = false;  // a connection is waiting to be accepted
  bool timedOut = false;  // the deadline has passed, nothing else happened
};

/// One poll() over the wake-up pipe (if `wakeFd` >= 0), the connection `fd`
/// (if >= 0; for output too if `wantWrite`) and `listener` (if >= 0), until something is
/// ready or `deadline` has passed. Retries on EINTR only while the deadline
/// has not passed; throws std::system_error for other failures.
Readiness waitReady(int wakeFd, int fd, bool wantWrite, int listener,
                    std::optional<Clock::time_point> deadline);

}  // namespace boardsim::net
