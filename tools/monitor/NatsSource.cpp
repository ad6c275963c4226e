#include "monitor/NatsSource.hpp"

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cerrno>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "nats/NatsLink.hpp"
#include "nats/SubjectServer.hpp"

namespace monitor {

struct NatsSource::Impl {
  std::string address;
  std::unique_ptr<natslink::SubjectServer> server;
  std::thread thread;
};

bool NatsSource::names(std::string_view address) { return address.substr(0, 7) == "nats://"; }

namespace {

// nats://HOST[:PORT]/SUBJECT as the server's URL and the subject; the
// URL may list several servers (nats://A,nats://B/SUBJECT). Throws what
// NatsSource::problem finds.
std::pair<std::string, std::string> splitUrl(const std::string& url) {
  if (const std::string wrong = NatsSource::problem(url); !wrong.empty()) throw std::runtime_error(wrong);
  const std::size_t slash = url.rfind('/');
  return {url.substr(0, slash), url.substr(slash + 1)};
}

// What the serving thread reports that the monitor's own lines do not
// show: messages skipped, and NATS going away and coming back.
void report(const natslink::SubjectEvent& e) {
  using Kind = natslink::SubjectEvent::Kind;
  switch (e.kind) {
    case Kind::Skipped:
      std::cerr << "varnel-monitor: " << e.how << std::endl;
      break;
    case Kind::NatsLost:
      std::cerr << "varnel-monitor: the connection to NATS is lost; reconnecting" << std::endl;
      break;
    case Kind::NatsBack:
      std::cerr << "varnel-monitor: connected to NATS again at " << e.peer << std::endl;
      break;
    case Kind::NatsClosed:
      std::cerr << "varnel-monitor: the NATS client gave up its connection (" << e.how << ")" << std::endl;
      break;
    case Kind::Disconnected:
      if (e.how != "closed by the client" && e.how != "board stopped") {
        std::cerr << "varnel-monitor: serving the subject ended: " << e.how << std::endl;
      }
      break;
    case Kind::Listening:
    case Kind::Connected:
      break;
  }
}

}  // namespace

std::string NatsSource::problem(const std::string& url) {
  const std::size_t slash = url.rfind('/');
  if (slash == std::string::npos || slash < 7 || slash + 1 == url.size()) {
    return "'" + url + "' names no subject: nats://HOST[:PORT]/SUBJECT";
  }
  const std::string subject = url.substr(slash + 1);
  if (!natslink::isOneSubject(subject)) {
    return "'" + url + "': '" + subject + "' is not the subject of one board (varnel.NAME)";
  }
  if (!natslink::isNatsUrl(url.substr(0, slash))) return "'" + url + "' is not a NATS URL";
  return {};
}

NatsSource::NatsSource(const std::string& url) : impl_(std::make_unique<Impl>()) {
  const auto [servers, subject] = splitUrl(url);
  natslink::SubjectSettings settings;
  settings.url = servers;
  settings.subject = subject;
  // The monitor's connection, made again after a failure (--reconnect),
  // goes on behind what it was sent instead of at the first message.
  settings.resume = true;
  // A loopback address of this process's own (any of 127.0.0.0/8 is
  // local), away from the boards that tests and users run on 127.0.x.y:
  // a taken one is passed over.
#if defined(_WIN32)
  const unsigned seed = 1;
#else
  const unsigned seed = static_cast<unsigned>(::getpid());
#endif
  for (unsigned attempt = 0;; ++attempt) {
    const unsigned n = seed + attempt * 7919;
    settings.address = "127.77." + std::to_string(n / 254 % 254 + 1) + "." + std::to_string(n % 254 + 1);
    try {
      impl_->server = std::make_unique<natslink::SubjectServer>(settings, report);
      break;
    } catch (const std::system_error& e) {
      if (e.code() != std::errc::address_in_use || attempt == 20) throw;
    }
  }
  impl_->address = settings.address;
  impl_->thread = std::thread([server = impl_->server.get()] { server->run(); });
}

NatsSource::~NatsSource() {
  impl_->server->requestStop();
  impl_->thread.join();
  impl_->server.reset();
  natslink::closeLibrary();
}

const std::string& NatsSource::address() const { return impl_->address; }

}  // namespace monitor
