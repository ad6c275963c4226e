#pragma once

// The board's address as the tools take it: a numeric IPv4 or IPv6 address
// or a host name, which the tools resolve themselves (the library takes
// numeric addresses only).

#include <string>
#include <vector>

namespace cli {

/// The numeric addresses that `host` stands for: a numeric address as
/// given (IPv6 possibly with a scope, "fe80::1%eth0"), a host name resolved
/// by the system, its addresses in the system's order of preference without
/// repeats. Blocks while the system asks its name servers. Throws
/// UsageError naming `host` when it cannot be resolved, or when it is an
/// IPv4 address in a form other than four decimal numbers (127.1, 0x7f.1,
/// 0127.0.0.1), which the resolver would take for another address.
std::vector<std::string> resolveHost(const std::string& host);

/// "NAME at ADDRESS, ..." for a host name, the address alone when `host`
/// is numeric: how the tools name the board in their messages.
std::string describeHost(const std::string& host, const std::vector<std::string>& addresses);

}  // namespace cli
