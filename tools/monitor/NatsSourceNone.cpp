// varnel-monitor nats://... in a build without the NATS client library.
#include <stdexcept>

#include "monitor/NatsSource.hpp"

namespace monitor {

struct NatsSource::Impl {
  std::string address;
};

bool NatsSource::names(std::string_view address) { return address.substr(0, 7) == "nats://"; }

NatsSource::NatsSource(const std::string&) {
  throw std::runtime_error("this build of varnel-monitor has no NATS (built without libnats)");
}

NatsSource::~NatsSource() = default;

const std::string& NatsSource::address() const { return impl_->address; }

}  // namespace monitor
