#include "boardsim/BoardServer.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "boardsim/Net.hpp"

namespace boardsim {

using namespace std::chrono_literals;
using Clock = net::Clock;

std::string_view stopReasonText(StopReason reason) {
  switch (reason) {
    case StopReason::Requested:
      return "stopped on request";
    case StopReason::Count:
      return "all packages sent";
    case StopReason::Duration:
      return "duration over";
    case StopReason::Clients:
      return "all clients served";
  }
  return "?";
}

namespace {

// The program that runs the board names itself in front of failures.
const std::string who;

// "1 package", "2 packages".
std::string packagesText(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " package" : " packages");
}

// How a wait or a send on the connection ended.
enum class Outcome { Done, PeerGone, Stopped, TimeUp };

// A board that falls behind its pace by more than this (a slow client, a
// stall) starts its schedule anew instead of sending a burst to catch up.
constexpr auto maxLag = 200ms;

// While a client is served, the listener is watched in every wait; a board
// that sends without waiting (a fast client) looks at it this often.
constexpr auto newcomerLookPeriod = 20ms;
// Connections turned away in one look; more wait for the next.
constexpr int maxTurnedAwayAtOnce = 64;

}  // namespace

struct BoardServer::Impl {
  ServerSettings settings;
  PackageGenerator generator;
  EventHandler onEvent;
  int listener = -1;
  net::WakePipe wake;
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> running{false};
  std::thread thread;
  std::mutex threadMutex;

  std::atomic<std::uint64_t> packages{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> clients{0};
  mutable std::mutex errorMutex;
  std::string failure;

  // Only the thread in run() uses these.
  std::optional<Clock::time_point> endTime;
  std::uint64_t nextNumber = 0;
  std::uint64_t sinceSkip = 0;
  Bytes buffer;
  // The client being served, named in the events of those turned away.
  std::uint64_t servedClient = 0;
  std::string servedPeer;
  Clock::time_point nextNewcomerLook;
  // Sent and in all, of the package whose send a stop cut short.
  std::optional<std::pair<std::size_t, std::size_t>> cutShort;

  Impl(ServerSettings s, GeneratorSettings g, EventHandler e)
      : settings(std::move(s)), generator(g), onEvent(std::move(e)), nextNumber(g.firstNumber) {
    if (!std::isfinite(settings.packagesPerSecond) || settings.packagesPerSecond < 0) {
      throw std::invalid_argument("the rate must be a number of 0 or more packages per second");
    }
    // A cut at or past the end would send the whole package and then call
    // it cut.
    const std::uint32_t size = generator.packageSize();
    if (settings.faults.cutAt >= size) {
      throw std::invalid_argument("cut point " + std::to_string(settings.faults.cutAt) +
                                  " is not inside the package of " + std::to_string(size) +
                                  " bytes: it must be 1 to " + std::to_string(size - 1));
    }
    listener = net::makeListener(settings.address, net::boardPort, 8, who);
  }

  ~Impl() { net::closeFd(listener); }

  void emit(const ServerEvent& event) const {
    if (onEvent) onEvent(event);
  }

  bool stopping() const { return stopRequested.load(); }
  bool timeUp() const { return endTime && Clock::now() >= *endTime; }

  // A connection waits in the listener while `fd` is served. If the client
  // served has gone meanwhile, serving it ends (PeerGone) and run() accepts
  // the newcomer next; else the newcomers are closed at once, each with an
  // event, and serving goes on (Done).
  Outcome turnAwayNewcomers(int fd) {
    if (net::peerHasClosed(fd)) return Outcome::PeerGone;
    for (int i = 0; i < maxTurnedAwayAtOnce; ++i) {
      std::string peer;
      int other = net::acceptConnection(listener, who, &peer);
      if (other < 0) break;
      closeInOrder(other);
      emit({ServerEvent::Kind::TurnedAway, servedClient, peer, 0, 0, servedPeer});
    }
    return Outcome::Done;
  }

  // The look at the listener of a board that may not wait between packages.
  Outcome lookForNewcomers(int fd) {
    const auto now = Clock::now();
    if (now < nextNewcomerLook) return Outcome::Done;
    nextNewcomerLook = now + newcomerLookPeriod;
    const net::Readiness r = net::waitReady(wake.readFd(), -1, false, listener, now);
    if (r.woken || stopping()) return Outcome::Stopped;
    return r.listener ? turnAwayNewcomers(fd) : Outcome::Done;
  }

  // Waits until `until` (or only for the board's end without it), watching
  // the stop request, the client closing its end and clients to turn away.
  Outcome waitOn(int fd, std::optional<Clock::time_point> until) {
    for (;;) {
      std::optional<Clock::time_point> deadline = endTime;
      if (until && (!deadline || *until < *deadline)) deadline = until;
      const net::Readiness r = net::waitReady(wake.readFd(), fd, false, listener, deadline);
      if (r.woken || stopping()) return Outcome::Stopped;
      if (r.input && net::peerHasClosed(fd)) return Outcome::PeerGone;
      if (r.listener && turnAwayNewcomers(fd) == Outcome::PeerGone) return Outcome::PeerGone;
      if (timeUp()) return Outcome::TimeUp;
      if (until && Clock::now() >= *until) return Outcome::Done;
    }
  }

  // Sends `length` bytes, turning newcomers away meanwhile. A stop or the
  // end of the run ends the send; what had begun still goes out whole if
  // the client takes it in time (Done), else `cutShort` says how much went.
  Outcome sendAll(int fd, const std::uint8_t* data, std::size_t length) {
    std::size_t unsent = 0;
    const net::SendEnd end = net::sendAll(
        wake.readFd(), fd, data, length, endTime, bytes, listener,
        [&] { return turnAwayNewcomers(fd) != Outcome::PeerGone; }, &unsent);
    switch (end) {
      case net::SendEnd::Sent:
        return Outcome::Done;
      case net::SendEnd::PeerGone:
        return Outcome::PeerGone;
      case net::SendEnd::Woken:
      case net::SendEnd::TimeUp:
        break;
    }
    if (unsent != length) cutShort = {length - unsent, length};
    return end == net::SendEnd::Woken ? Outcome::Stopped : Outcome::TimeUp;
  }

  std::uint64_t takeNumber() {
    const std::uint64_t number = nextNumber++;
    if (settings.skipEvery != 0 && ++sinceSkip == settings.skipEvery) {
      sinceSkip = 0;
      ++nextNumber;  // this one is never sent
    }
    return number;
  }

  // Closes in order: whatever was sent still arrives, then the end of the
  // stream. Input the client sent is read first, since closing a socket
  // with unread input resets the connection.
  static void closeInOrder(int& fd) {
    net::peerHasClosed(fd);
    net::closeFd(fd);
  }

  void resetConnection(int& fd) {
    // Let the client receive everything first, so that the reset is what
    // it sees after the data, not instead of it.
    const auto deadline = Clock::now() + 2s;
    for (int i = 0; i < 4000 && net::unsentBytes(fd) != 0 && Clock::now() < deadline; ++i) {
      const net::Readiness r = net::waitReady(wake.readFd(), -1, false, -1, Clock::now() + 1ms);
      if (r.woken) break;
    }
    net::setAbortiveClose(fd);
    net::closeFd(fd);
  }

  struct Ending {
    std::string how;
    std::optional<StopReason> stop;  // the board stops after this connection
  };

  static Ending ended(Outcome outcome, const std::string& what) {
    switch (outcome) {
      case Outcome::PeerGone:
        return {"closed by the client" + what, std::nullopt};
      case Outcome::Stopped:
        return {"board stopped" + what, StopReason::Requested};
      case Outcome::TimeUp:
        return {"duration over" + what, StopReason::Duration};
      case Outcome::Done:
        break;
    }
    return {what, std::nullopt};
  }

  // Plays the stream and the faults to one client. Returns with `fd` closed
  // where the fault closes it, else open for the caller to close in order.
  Ending serve(int& fd, std::uint64_t& sent) {
    const ConnectionFaults& f = settings.faults;
    const double rate = settings.packagesPerSecond;
    const auto period =
        rate > 0 ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate))
                 : Clock::duration::zero();
    bool stalled = false;
    auto next = Clock::now();
    for (;;) {
      if (stopping()) return ended(Outcome::Stopped, "");
      if (timeUp()) return ended(Outcome::TimeUp, "");
      if (const Outcome o = lookForNewcomers(fd); o != Outcome::Done) return ended(o, "");

      if (f.stallAfter && !stalled && sent == *f.stallAfter) {
        stalled = true;
        const Outcome o = waitOn(fd, Clock::now() + f.stallFor);
        if (o != Outcome::Done) return ended(o, "");
        next = Clock::now();
      }
      if (f.badHeader && sent == f.badHeaderAfter) {
        const Bytes bad = generator.malformed(*f.badHeader, takeNumber());
        const std::string what =
            " after a malformed header (" + std::string(headerFaultName(*f.badHeader)) + ")";
        const Outcome o = sendAll(fd, bad.data(), bad.size());
        if (o != Outcome::Done) return ended(o, what);
        return ended(waitOn(fd, std::nullopt), what);
      }
      if (f.cutAfter && sent == *f.cutAfter) {
        const std::uint64_t number = takeNumber();
        generator.encodeInto(number, buffer);
        const std::size_t part = f.cutAt == 0 ? buffer.size() / 2 : f.cutAt;  // below the size
        const Outcome o = sendAll(fd, buffer.data(), part);
        if (o != Outcome::Done) return ended(o, "");
        closeInOrder(fd);
        return {"closed inside package " + std::to_string(number) + " after " + std::to_string(part) +
                    " of " + std::to_string(buffer.size()) + " bytes",
                std::nullopt};
      }
      if (f.resetAfter && sent == *f.resetAfter) {
        resetConnection(fd);
        return {"reset after " + packagesText(sent), std::nullopt};
      }
      if (f.closeAfter && sent == *f.closeAfter) {
        closeInOrder(fd);
        return {"closed after " + packagesText(sent), std::nullopt};
      }

      if (rate > 0) {
        const Outcome o = waitOn(fd, next);
        if (o != Outcome::Done) return ended(o, "");
      }
      const std::uint64_t number = takeNumber();
      generator.encodeInto(number, buffer);
      const Outcome o = sendAll(fd, buffer.data(), buffer.size());
      if (o != Outcome::Done) {
        // A client that does not read gets part of the package only.
        if (!cutShort) return ended(o, "");
        const std::string what = " inside package " + std::to_string(number) + " after " +
                                 std::to_string(cutShort->first) + " of " + std::to_string(cutShort->second) +
                                 " bytes";
        cutShort.reset();
        return ended(o, what);
      }
      ++sent;
      const std::uint64_t total = packages.fetch_add(1) + 1;
      if (settings.count != 0 && total >= settings.count) {
        closeInOrder(fd);
        return {settings.count == 1 ? std::string("the one package sent")
                                    : "all " + packagesText(settings.count) + " sent",
                StopReason::Count};
      }
      if (rate > 0) {
        next += period;
        const auto now = Clock::now();
        if (now - next > maxLag) next = now;
      }
    }
  }

  StopReason run() {
    if (settings.duration > 0ms) endTime = Clock::now() + settings.duration;
    emit({ServerEvent::Kind::Listening,
          0,
          settings.address + " port " + std::to_string(net::boardPort),
          0,
          0,
          {}});
    for (;;) {
      if (stopping()) return StopReason::Requested;
      const net::Readiness r = net::waitReady(wake.readFd(), -1, false, listener, endTime);
      if (r.woken || stopping()) return StopReason::Requested;
      if (timeUp()) return StopReason::Duration;
      if (!r.listener) continue;
      std::string peer;
      int fd = net::acceptConnection(listener, who, &peer);
      if (fd < 0) continue;

      const std::uint64_t client = clients.fetch_add(1) + 1;
      servedClient = client;
      servedPeer = peer;
      nextNewcomerLook = Clock::now() + newcomerLookPeriod;
      emit({ServerEvent::Kind::Connected, client, peer, 0, 0, {}});
      const std::uint64_t bytesBefore = bytes.load();
      std::uint64_t sent = 0;
      Ending ending;
      try {
        ending = serve(fd, sent);
      } catch (...) {
        net::closeFd(fd);
        throw;
      }
      if (fd >= 0) closeInOrder(fd);
      emit({ServerEvent::Kind::Disconnected, client, peer, sent, bytes.load() - bytesBefore, ending.how});
      if (ending.stop) return *ending.stop;
      if (settings.clients != 0 && client >= settings.clients) return StopReason::Clients;
    }
  }
};

BoardServer::BoardServer(ServerSettings server, GeneratorSettings generator, EventHandler onEvent)
    : impl_(std::make_unique<Impl>(std::move(server), generator, std::move(onEvent))) {}

BoardServer::~BoardServer() { stop(); }

StopReason BoardServer::run() {
  if (impl_->running.exchange(true)) {
    throw std::logic_error("BoardServer::run: the board runs already");
  }
  return impl_->run();
}

void BoardServer::start() {
  if (impl_->running.exchange(true)) {
    throw std::logic_error("BoardServer::start: the board runs already");
  }
  std::lock_guard lock(impl_->threadMutex);
  impl_->thread = std::thread([impl = impl_.get()] {
    try {
      impl->run();
    } catch (const std::exception& e) {
      std::lock_guard errorLock(impl->errorMutex);
      impl->failure = e.what();
    }
  });
}

void BoardServer::requestStop() noexcept {
  impl_->stopRequested.store(true);
  impl_->wake.wake();
}

void BoardServer::stop() {
  requestStop();
  std::lock_guard lock(impl_->threadMutex);
  if (impl_->thread.joinable()) impl_->thread.join();
}

const ServerSettings& BoardServer::settings() const { return impl_->settings; }
const PackageGenerator& BoardServer::generator() const { return impl_->generator; }
std::uint64_t BoardServer::packagesSent() const { return impl_->packages.load(); }
std::uint64_t BoardServer::bytesSent() const { return impl_->bytes.load(); }
std::uint64_t BoardServer::clientsServed() const { return impl_->clients.load(); }

std::string BoardServer::error() const {
  std::lock_guard lock(impl_->errorMutex);
  return impl_->failure;
}

}  // namespace boardsim
