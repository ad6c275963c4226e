#include "common/HostName.hpp"

#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>

#include "common/CommandLine.hpp"

namespace cli {

namespace asio = boost::asio;

std::vector<std::string> resolveHost(const std::string& host) {
  boost::system::error_code error;
  asio::ip::make_address(host, error);
  if (!error) return {host};

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
