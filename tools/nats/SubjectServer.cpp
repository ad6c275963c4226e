#include "nats/SubjectServer.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "boardsim/Net.hpp"
#include "nats/HandOver.hpp"
#include "nats/NatsLink.hpp"

namespace natslink {

using namespace std::chrono_literals;
using Clock = boardsim::net::Clock;
namespace net = boardsim::net;

namespace {

// How long a client's thread waits for a message before it looks at its
// client and at a stop request again.
constexpr std::int64_t messageWaitMs = 100;

struct Client {
  std::uint64_t number = 0;
  int fd = -1;
  std::string peer;
  std::thread thread;
  std::atomic<bool> done{false};
};

// Releases a message however the serving loop leaves it.
struct MessageHolder {
  natsMsg* msg = nullptr;
  ~MessageHolder() { natsMsg_Destroy(msg); }
};

}  // namespace

struct SubjectServer::Impl {
  SubjectSettings settings;
  EventHandler onEvent;
  std::mutex eventMutex;
  std::unique_ptr<Link> link;
  int listener = -1;
  net::WakePipe wake;
  std::atomic<bool> stopRequested{false};
  std::atomic<std::uint64_t> handOvers{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> clientCount{0};
  std::atomic<std::uint64_t> skippedCount{0};
  std::atomic<bool> natsClosed{false};  // nothing more comes through the link
  // With resume: the stream sequence of the last message sent whole to a
  // client or skipped (0: none yet).
  std::atomic<std::uint64_t> lastDone{0};
  std::optional<Clock::time_point> endTime;
  std::list<Client> clients;  // only the thread of run() changes the list

  Impl(SubjectSettings s, EventHandler e) : settings(std::move(s)), onEvent(std::move(e)) {
    LinkEvents events;
    events.disconnected = [this] { emit({SubjectEvent::Kind::NatsLost, 0, {}, 0, 0, {}}); };
    events.reconnected = [this](const std::string& url) {
      emit({SubjectEvent::Kind::NatsBack, 0, url, 0, 0, {}});
    };
    events.closed = [this](const std::string& why) {
      natsClosed.store(true);
      emit({SubjectEvent::Kind::NatsClosed, 0, {}, 0, 0, why});
      requestStop();
    };
    link = std::make_unique<Link>(settings.url, "varnel-board --from-nats", std::move(events));
    requireStream(link->jetStream(), settings.subject);
    listener = net::makeListener(settings.address, net::boardPort, 16, "");
  }

  ~Impl() {
    requestStop();
    for (Client& c : clients) {
      if (c.thread.joinable()) c.thread.join();
      net::closeFd(c.fd);
    }
    net::closeFd(listener);
  }

  void requestStop() noexcept {
    stopRequested.store(true);
    wake.wake();
  }

  void emit(const SubjectEvent& event) {
    if (!onEvent) return;
    std::lock_guard lock(eventMutex);
    onEvent(event);
  }

  bool timeUp() const { return endTime && Clock::now() >= *endTime; }

  natsStatus subscribe(natsSubscription** sub, jsErrCode& code) const {
    jsSubOptions options;
    jsSubOptions_Init(&options);
    options.Ordered = true;
    if (const std::uint64_t last = settings.resume ? lastDone.load() : 0; last != 0) {
      options.Config.DeliverPolicy = js_DeliverByStartSequence;
      options.Config.OptStartSeq = last + 1;
      return js_SubscribeSync(sub, link->jetStream(), settings.subject.c_str(), nullptr, &options, &code);
    }
    switch (settings.start) {
      case StartAt::First:
        options.Config.DeliverPolicy = js_DeliverAll;
        break;
      case StartAt::New:
        options.Config.DeliverPolicy = js_DeliverNew;
        break;
      case StartAt::Time:
        options.Config.DeliverPolicy = js_DeliverByStartTime;
        options.Config.OptStartTime = requestedStart(settings.startTimeNs);
        break;
    }
    return js_SubscribeSync(sub, link->jetStream(), settings.subject.c_str(), nullptr, &options, &code);
  }

  // The client library writes a start time's fraction of a second without
  // its leading zeros (.05 s goes as .5 s), which would skip what came in
  // between: such a time is asked for from its whole second, and what
  // comes before the time itself is passed over here (see feed).
  static std::int64_t requestedStart(std::int64_t ns) {
    const std::int64_t fraction = ns % 1000000000;
    return fraction != 0 && fraction < 100000000 ? ns - fraction : ns;
  }

  // When the stream stored a message (ns since 1970); 0 if unknown.
  static std::int64_t storedAt(natsMsg* msg) {
    jsMsgMetaData* meta = nullptr;
    if (natsMsg_GetMetaData(&meta, msg) != NATS_OK || meta == nullptr) return 0;
    const std::int64_t at = meta->Timestamp;
    jsMsgMetaData_Destroy(meta);
    return at;
  }

  // The stream sequence of a message, for the reports; 0 if unknown.
  static std::uint64_t sequenceOf(natsMsg* msg) {
    jsMsgMetaData* meta = nullptr;
    if (natsMsg_GetMetaData(&meta, msg) != NATS_OK || meta == nullptr) return 0;
    const std::uint64_t sequence = meta->Sequence.Stream;
    jsMsgMetaData_Destroy(meta);
    return sequence;
  }

  // Sends the subject's hand-overs to one client until it goes, the server
  // stops or its time is up; says how it ended.
  std::string feed(Client& client, natsSubscription* sub, std::uint64_t& sent) {
    bool started = settings.start != StartAt::Time ||
                   requestedStart(settings.startTimeNs) == settings.startTimeNs ||
                   (settings.resume && lastDone.load() != 0);
    for (;;) {
      if (stopRequested.load()) return "board stopped";
      if (timeUp()) return "duration over";
      MessageHolder held;
      const natsStatus status = natsSubscription_NextMsg(&held.msg, sub, messageWaitMs);
      if (status == NATS_TIMEOUT) {
        if (net::peerHasClosed(client.fd)) return "closed by the client";
        continue;
      }
      // A consumer that fell behind is reset by the client library, which
      // resumes after the last message delivered: nothing is lost.
      if (status == NATS_SLOW_CONSUMER || status == NATS_MISSED_HEARTBEAT) continue;
      if (status != NATS_OK) return "reading the subject failed: " + statusText(status);
      if (!started) {
        if (storedAt(held.msg) < settings.startTimeNs) continue;
        started = true;
      }
      const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(held.msg));
      const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(held.msg));
      std::string why;
      natsMsg* msg = held.msg;
      const auto described = handover::check(
          [msg](const char* name) -> std::optional<std::string> {
            const char* value = nullptr;
            if (natsMsgHeader_Get(msg, name, &value) != NATS_OK || value == nullptr) return std::nullopt;
            return std::string(value);
          },
          data, size, why);
      if (!described) {
        if (settings.resume) lastDone.store(sequenceOf(msg));
        skippedCount.fetch_add(1);
        emit({SubjectEvent::Kind::Skipped, client.number, client.peer, 0, 0,
              "message " + std::to_string(sequenceOf(msg)) + " of " + settings.subject +
                  " is not a hand-over (" + why + "); skipped"});
        continue;
      }
      // A client that went away takes no more: with resume, a message sent
      // to it would count as delivered and be passed over by the next.
      if (settings.resume && net::peerHasClosed(client.fd)) return "closed by the client";
      switch (net::sendAll(wake.readFd(), client.fd, data, size, endTime, bytes)) {
        case net::SendEnd::Sent:
          ++sent;
          handOvers.fetch_add(1);
          if (settings.resume) lastDone.store(sequenceOf(msg));
          break;
        case net::SendEnd::PeerGone:
          return "closed by the client";
        case net::SendEnd::Woken:
          return "board stopped";
        case net::SendEnd::TimeUp:
          return "duration over";
      }
    }
  }

  void serve(Client& client) {
    const std::uint64_t before = bytes.load();
    std::uint64_t sent = 0;
    std::string how;
    natsSubscription* sub = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    const natsStatus status = subscribe(&sub, code);
    if (status != NATS_OK) {
      how = "cannot read the subject " + settings.subject + ": " + statusText(status, code);
    } else {
      try {
        how = feed(client, sub, sent);
      } catch (const std::exception& e) {
        how = e.what();
      }
      natsSubscription_Unsubscribe(sub);
    }
    natsSubscription_Destroy(sub);
    // The client receives everything sent, then the end of the stream.
    net::peerHasClosed(client.fd);
    net::closeFd(client.fd);
    emit({SubjectEvent::Kind::Disconnected, client.number, client.peer, sent, bytes.load() - before, how});
    client.done.store(true);
  }

  // Joins the threads of clients that have gone; the number still served.
  std::size_t reap() {
    std::size_t active = 0;
    for (auto it = clients.begin(); it != clients.end();) {
      if (it->done.load()) {
        it->thread.join();
        it = clients.erase(it);
      } else {
        ++active;
        ++it;
      }
    }
    return active;
  }

  SubjectStop run() {
    if (settings.duration > 0ms) endTime = Clock::now() + settings.duration;
    emit({SubjectEvent::Kind::Listening,
          0,
          settings.address + " port " + std::to_string(net::boardPort),
          0,
          0,
          {}});
    SubjectStop reason = SubjectStop::Requested;
    for (;;) {
      const std::size_t active = reap();
      if (natsClosed.load()) {
        reason = SubjectStop::NatsClosed;
        break;
      }
      if (stopRequested.load()) break;
      if (timeUp()) {
        reason = SubjectStop::Duration;
        break;
      }
      if (settings.clients != 0 && clientCount.load() >= settings.clients) {
        if (active == 0) {
          reason = SubjectStop::Clients;
          break;
        }
      }
      // Woken at least every 100 ms to join the clients that have gone.
      std::optional<Clock::time_point> until = Clock::now() + 100ms;
      if (endTime && *endTime < *until) until = endTime;
      const int accepting = settings.clients != 0 && clientCount.load() >= settings.clients ? -1 : listener;
      const net::Readiness r = net::waitReady(wake.readFd(), -1, false, accepting, until);
      if (r.woken) {
        if (natsClosed.load()) reason = SubjectStop::NatsClosed;
        break;
      }
      if (!r.listener) continue;
      std::string peer;
      const int fd = net::acceptConnection(listener, "", &peer);
      if (fd < 0) continue;
      Client& client = clients.emplace_back();
      client.fd = fd;
      client.number = clientCount.fetch_add(1) + 1;
      client.peer = std::move(peer);
      emit({SubjectEvent::Kind::Connected, client.number, client.peer, 0, 0, {}});
      client.thread = std::thread([this, &client] { serve(client); });
    }
    // Every client's thread sees the stop through the wake-up pipe.
    stopRequested.store(true);
    wake.wake();
    for (Client& c : clients) c.thread.join();
    clients.clear();
    return reason;
  }
};

SubjectServer::SubjectServer(SubjectSettings settings, EventHandler onEvent)
    : impl_(std::make_unique<Impl>(std::move(settings), std::move(onEvent))) {}

SubjectServer::~SubjectServer() = default;

SubjectStop SubjectServer::run() { return impl_->run(); }
void SubjectServer::requestStop() noexcept { impl_->requestStop(); }
std::uint64_t SubjectServer::handOversSent() const { return impl_->handOvers.load(); }
std::uint64_t SubjectServer::bytesSent() const { return impl_->bytes.load(); }
std::uint64_t SubjectServer::clientsServed() const { return impl_->clientCount.load(); }
std::uint64_t SubjectServer::skipped() const { return impl_->skippedCount.load(); }

std::optional<std::int64_t> parseTime(const std::string& text) {
  if (text.empty()) return std::nullopt;
  if (text.find('T') == std::string::npos) {
    // Whole seconds and the fraction apart: a double does not hold today's
    // time to the nanosecond.
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    const auto digits = [](const std::string& t) {
      return t.find_first_not_of("0123456789") == std::string::npos;
    };
    if (whole.empty() || whole.size() > 10 || !digits(whole) || !digits(fraction) || fraction.size() > 9 ||
        (dot != std::string::npos && fraction.empty())) {
      return std::nullopt;
    }
    // Nanoseconds since 1970 in 64 bits reach 2262.
    const std::int64_t seconds = std::stoll(whole);
    if (seconds > std::numeric_limits<std::int64_t>::max() / 1000000000 - 1) return std::nullopt;
    std::int64_t ns = seconds * 1000000000;
    if (!fraction.empty()) ns += std::stoll(fraction + std::string(9 - fraction.size(), '0'));
    return ns;
  }
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, used = 0;
  double second = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%n", &year, &month, &day, &hour, &minute, &second,
                  &used) != 6) {
    return std::nullopt;
  }
  // Also no "nan" seconds, no 31 February, nothing past 2261 (nanoseconds
  // since 1970 in 64 bits reach 2262).
  constexpr int daysIn[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (text.substr(static_cast<std::size_t>(used)) != "Z" || month < 1 || month > 12 || day < 1 ||
      day > daysIn[month - 1] || (month == 2 && day == 29 && !leap) || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || !(second >= 0 && second < 61) || year < 1970 || year > 2261) {
    return std::nullopt;
  }
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  const std::time_t whole = timegm(&t);
  return static_cast<std::int64_t>(whole) * 1000000000 +
         static_cast<std::int64_t>(std::llround(second * 1e9));
}

}  // namespace natslink
