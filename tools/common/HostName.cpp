#include "common/HostName.hpp"

#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <string_view>

#include "common/CommandLine.hpp"

namespace cli {

namespace asio = boost::asio;

namespace {

// Numbers between dots (decimal, octal with a leading 0, hexadecimal with
// 0x): the old forms of an IPv4 address that the system's resolver still
// takes, where 0127.0.0.1 is 87.0.0.1 and 127.1 is 127.0.0.1. No host name
// looks like that (its last part is never a number).
bool oldIpv4Form(std::string_view text) {
  for (;;) {
    const std::size_t dot = std::min(text.find('.'), text.size());
    std::string_view part = text.substr(0, dot);
    const bool hex = part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
    if (hex) part.remove_prefix(2);
    if (part.empty()) return false;
    for (const char c : part) {
      if (!(c >= '0' && c <= '9') && !(hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))) return false;
    }
    if (dot == text.size()) return true;
    text.remove_prefix(dot + 1);
  }
}

}  // namespace

std::vector<std::string> resolveHost(const std::string& host) {
  boost::system::error_code error;
  asio::ip::make_address(host, error);
  if (!error) return {host};
  // Taken as such, a mistyped address (a leading zero, a missing part)
  // would reach another host without a word.
  if (oldIpv4Form(host)) {
    throw UsageError("'" + host +
                     "' is not an IPv4 address: write four decimal numbers 0 to 255 without leading zeros, "
                     "such as 192.168.1.20");
  }

  asio::io_context context;
  asio::ip::tcp::resolver resolver(context);
  // Without the default "address configured" flag: it would hide the
  // loopback addresses of a machine that has no other, and with them
  // "localhost".
  const auto results = resolver.resolve(host, "63751", asio::ip::resolver_base::numeric_service, error);
  if (error || results.empty()) {
    throw UsageError("cannot resolve the host name '" + host +
                     "': " + (error ? error.message() : std::string("no address")));
  }
  std::vector<std::string> addresses;
  for (const auto& entry : results) {
    std::string address = entry.endpoint().address().to_string();
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(std::move(address));
    }
  }
  return addresses;
}

std::string describeHost(const std::string& host, const std::vector<std::string>& addresses) {
  if (addresses.size() == 1 && addresses.front() == host) return host;
  std::string text = host + " at ";
  for (std::size_t i = 0; i < addresses.size(); ++i) text += (i == 0 ? "" : ", ") + addresses[i];
  return text;
}

}  // namespace cli
