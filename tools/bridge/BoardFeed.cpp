#include "bridge/BoardFeed.hpp"

#include <chrono>
#include <cstdio>

#include "common/BackOff.hpp"
#include "common/Wording.hpp"

namespace bridge {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::string secondsText(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
  return text;
}

// The recorded failure of a parser as people read it.
std::string failureText(mirt::Varnel& parser) {
  try {
    parser.getAsyncError();
  } catch (const mirt::VarnelException& e) {
    return e.what();
  }
  return "the connection ended";
}

}  // namespace

BoardFeed::BoardFeed(std::size_t index, std::string name, std::string host,
                     std::vector<std::string> addresses, const LibrarySettings& settings,
                     Publisher& publisher, Log log)
    : index_(index),
      name_(std::move(name)),
      host_(std::move(host)),
      addresses_(std::move(addresses)),
      publisher_(publisher),
      log_(std::move(log)) {
  for (const std::string& address : addresses_) {
    parsers_.push_back(mirt::createVarnel(address, [this](mirt::OstraDataStream* s) { onStream(s); }));
    mirt::Varnel& parser = *parsers_.back();
    parser.setReceiveObserver([this](const mirt::ReceivedBytes& bytes) {
      if (bytes.event == mirt::ReceivedBytes::Connected) cutter_.reset();
      if (bytes.event == mirt::ReceivedBytes::Data) cutter_.feed(bytes.data, bytes.size);
    });
    if (settings.packageCounter) parser.setPackageCounter(*settings.packageCounter);
    if (settings.waitMs) parser.setWaitTimeMs(*settings.waitMs);
    if (settings.tcpTimeout) parser.setTcpTimeout(*settings.tcpTimeout);
  }
}

BoardFeed::~BoardFeed() { stop(); }

void BoardFeed::start() {
  thread_ = std::thread([this] { run(); });
}

void BoardFeed::requestStop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}

void BoardFeed::stop() {
  requestStop();
  if (thread_.joinable()) thread_.join();
}

bool BoardFeed::waitFor(Clock::duration wait) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, wait, [&] { return stopping_; });
}

void BoardFeed::disconnect() {
  connected_.store(false);
  try {
    parsers_[current_]->disconnect();  // throws the recorded failure, which is reported already
  } catch (const mirt::VarnelException&) {
  }
}

std::optional<std::string> BoardFeed::connect() {
  std::string failure;
  const std::size_t first = current_;
  for (std::size_t i = 0; i < parsers_.size(); ++i) {
    // The last connection is over before the next begins: the cutting and
    // the callback belong to one I/O thread at a time.
    disconnect();
    current_ = (first + i) % parsers_.size();
    try {
      parsers_[current_]->connect();
      connected_.store(true);
      return std::nullopt;
    } catch (const mirt::VarnelException& e) {
      failure = e.what();
    }
  }
  return failure;
}

void BoardFeed::run() {
  cli::BackOff backOff;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
    }
    const std::uint64_t before = packages_.load();
    const std::optional<std::string> failed = connect();
    if (failed) {
      const auto wait = backOff.next();
      log_(name_ + ": cannot connect to " + host_ + " (" + *failed + "); next try in " + secondsText(wait));
      if (!waitFor(wait)) break;
      continue;
    }
    if (connectedOnce_) reconnects_.fetch_add(1);
    log_(name_ + ": connected " + (connectedOnce_ ? "again " : "") + "to " + addresses_[current_]);
    connectedOnce_ = true;
    // Watched every 50 ms: the time in which a failure is noticed.
    bool failedNow = false;
    while (waitFor(50ms)) {
      if (parsers_[current_]->getState() == mirt::ConnectionState::Error) {
        failedNow = true;
        break;
      }
    }
    if (!failedNow) break;
    connected_.store(false);
    if (packages_.load() != before) backOff.reset();
    const auto wait = backOff.next();
    log_(name_ + ": " + failureText(*parsers_[current_]) + "; connecting again in " + secondsText(wait));
    if (!waitFor(wait)) break;
  }
  disconnect();
}

void BoardFeed::onStream(mirt::OstraDataStream* stream) {
  HandOver h;
  while (std::unique_ptr<mirt::OstraDataPackage> p = stream->pop()) {
    h.numbers.push_back(p->getMetaData().headerValue);
    std::int64_t received = p->getReceiveTime().systemTimeNs;
    if (received == 0) {
      received = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    }
    h.receiveNs.push_back(received);
  }
  const std::size_t n = h.numbers.size();
  if (n == 0) return;
  packages_.fetch_add(n);
  if (cutter_.complete() < n || cutter_.number(0) != h.numbers.front() ||
      cutter_.number(n - 1) != h.numbers.back()) {
    unmatched_.fetch_add(n);
    log_(name_ + ": the bytes received do not match the " + cli::counted(n, "package") +
         " handed over; not published");
    std::vector<std::uint8_t> discarded;
    cutter_.take(n, discarded);
    return;
  }
  cutter_.take(n, h.payload);
  bytes_.fetch_add(h.payload.size());
  publisher_.add(index_, std::move(h));
}

FeedFigures BoardFeed::figures() const {
  FeedFigures f;
  f.packages = packages_.load();
  f.bytes = bytes_.load();
  f.reconnects = reconnects_.load();
  f.unmatched = unmatched_.load();
  f.connected = connected_.load();
  return f;
}

}  // namespace bridge
