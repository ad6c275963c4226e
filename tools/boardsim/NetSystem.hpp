#pragma once

// What the socket helpers of Net.hpp need of the system, one definition per
// platform (Net.cpp with POSIX sockets, NetWindows.cpp with Winsock), so
// that the helpers that differ only in these calls (NetCommon.cpp) are
// written once.

#include "boardsim/Net.hpp"

#if !defined(_WIN32)
#include <poll.h>
#endif

#include <cstddef>
#include <string>

namespace boardsim::net::os {

#if defined(_WIN32)
using PollFd = WSAPOLLFD;
/// The Winsock socket behind a descriptor of Net.hpp.
inline SOCKET handle(int fd) { return static_cast<SOCKET>(static_cast<unsigned int>(fd)); }
#else
using PollFd = pollfd;
inline int handle(int fd) { return fd; }
#endif

/// Makes the socket API ready for use (starts Winsock once per process);
/// nothing to do on POSIX. Throws std::system_error.
void start();

/// One poll over `count` entries of `fds`: the number of ready entries, or
/// -1 when a signal interrupted it (the caller waits again). Throws
/// std::system_error for any other failure.
int poll(PollFd* fds, std::size_t count, int timeoutMs);

/// "address:port" ("[address]:port" for IPv6) of a socket address.
std::string endpointText(const sockaddr_storage& storage);

/// "who: what", or `what` alone for an empty `who`.
inline std::string prefixed(const std::string& who, const std::string& what) {
  return who.empty() ? what : who + ": " + what;
}

}  // namespace boardsim::net::os
