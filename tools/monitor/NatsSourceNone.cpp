// varnel-monitor nats://... in a build without the NATS client library.
#include <stdexcept>
#include <string>

#include "monitor/NatsSource.hpp"

namespace monitor {

struct NatsSource::Impl {
  std::string address;
};

bool NatsSource::names(std::string_view address) { return address.substr(0, 7) == "nats://"; }

std::string NatsSource::problem(const std::string& url) {
  const std::size_t slash = url.rfind('/');
  if (slash == std::string::npos || slash < 7 || slash + 1 == url.size()) {
    return "'" + url + "' names no subject: nats://HOST[:PORT]/SUBJECT";
  }
  return "this build of varnel-monitor has no NATS (built without libnats)";
}

NatsSource::NatsSource(const std::string&) {
  throw std::runtime_error("this build of varnel-monitor has no NATS (built without libnats)");
}

NatsSource::~NatsSource() = default;

const std::string& NatsSource::address() const { return impl_->address; }

}  // namespace monitor
