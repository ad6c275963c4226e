#include "boardsim/ReplayServer.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <utility>

#include "boardsim/Net.hpp"

namespace boardsim {

using namespace std::chrono_literals;
using Clock = net::Clock;

namespace {

enum class Outcome { Done, PeerGone, Stopped, TimeUp };

}  // namespace

struct ReplayServer::Impl {
  ReplaySettings settings;
  capture::BoardStream stream;
  BoardServer::EventHandler onEvent;
  int listener = -1;
  net::WakePipe wake;
  std::atomic<bool> stopRequested{false};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> clients{0};
  std::optional<Clock::time_point> endTime;
  std::uint64_t servedClient = 0;
  std::string servedPeer;

  Impl(ReplaySettings s, capture::BoardStream b, BoardServer::EventHandler e)
      : settings(std::move(s)), stream(std::move(b)), onEvent(std::move(e)) {
    if (!std::isfinite(settings.speed) || settings.speed < 0) {
      throw std::invalid_argument("the speed must be a number of 0 or more");
    }
    listener = net::makeListener(settings.address, net::boardPort, 8, "");
  }

  ~Impl() { net::closeFd(listener); }

  void emit(const ServerEvent& event) const {
    if (onEvent) onEvent(event);
  }

  bool stopping() const { return stopRequested.load(); }
  bool timeUp() const { return endTime && Clock::now() >= *endTime; }

  // When the capture's moment `timeNs` comes, for a replay that began its
  // stream (the capture's startNs) at `origin`.
  Clock::time_point due(Clock::time_point origin, std::int64_t timeNs) const {
    // In double throughout: times far apart or a very slow speed would
    // overflow a 64-bit count of nanoseconds. Waits are capped at a year.
    constexpr double longest = 365.0 * 24 * 3600;
    const double seconds =
        std::clamp((static_cast<double>(timeNs) - static_cast<double>(stream.startNs)) / 1e9 / settings.speed,
                   0.0, longest);
    return origin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  // Waits until `until` (or for the client or the board's end without it).
  Outcome waitOn(int fd, std::optional<Clock::time_point> until) {
    for (;;) {
      std::optional<Clock::time_point> deadline = endTime;
      if (until && (!deadline || *until < *deadline)) deadline = until;
      const net::Readiness r = net::waitReady(wake.readFd(), fd, false, listener, deadline);
      if (r.woken || stopping()) return Outcome::Stopped;
      if (r.input && net::peerHasClosed(fd)) return Outcome::PeerGone;
      if (r.listener && !turnAwayNewcomers(fd)) return Outcome::PeerGone;
      if (timeUp()) return Outcome::TimeUp;
      if (until && Clock::now() >= *until) return Outcome::Done;
    }
  }

  Outcome sendAll(int fd, const std::uint8_t* data, std::size_t length) {
    switch (net::sendAll(wake.readFd(), fd, data, length, endTime, bytes, listener,
                         [&] { return turnAwayNewcomers(fd); })) {
      case net::SendEnd::Sent:
        return Outcome::Done;
      case net::SendEnd::PeerGone:
        return Outcome::PeerGone;
      case net::SendEnd::Woken:
        return Outcome::Stopped;
      case net::SendEnd::TimeUp:
        break;
    }
    return Outcome::TimeUp;
  }

  void resetConnection(int& fd) {
    // The client receives everything first, then the reset.
    const auto deadline = Clock::now() + 2s;
    for (int i = 0; i < 4000 && net::unsentBytes(fd) != 0 && Clock::now() < deadline; ++i) {
      const net::Readiness r = net::waitReady(wake.readFd(), -1, false, -1, Clock::now() + 1ms);
      if (r.woken) break;
    }
    net::setAbortiveClose(fd);
    net::closeFd(fd);
  }

  // A connection waits in the listener while `fd` is served: false if the
  // client served has gone meanwhile (the newcomer is served next), else
  // every newcomer is closed at once, each with an event, as the
  // generated board does.
  bool turnAwayNewcomers(int fd) {
    if (net::peerHasClosed(fd)) return false;
    for (int i = 0; i < 64; ++i) {
      std::string peer;
      int other = net::acceptConnection(listener, "", &peer);
      if (other < 0) break;
      closeInOrder(other);
      emit({ServerEvent::Kind::TurnedAway, servedClient, peer, 0, 0, servedPeer});
    }
    return true;
  }

  static void closeInOrder(int& fd) {
    net::peerHasClosed(fd);
    net::closeFd(fd);
  }

  struct Ending {
    std::string how;
    std::optional<StopReason> stop;
  };

  static Ending ended(Outcome outcome) {
    switch (outcome) {
      case Outcome::PeerGone:
        return {"closed by the client", std::nullopt};
      case Outcome::Stopped:
        return {"board stopped", StopReason::Requested};
      case Outcome::TimeUp:
        return {"duration over", StopReason::Duration};
      case Outcome::Done:
        break;
    }
    return {"", std::nullopt};
  }

  // Sends the stream (again and again with loop), then ends the connection
  // as the capture does. Returns with `fd` closed where it closes it.
  Ending serve(int& fd) {
    const bool paced = settings.speed > 0;
    const bool loop = settings.loop && !stream.bytes.empty();
    const auto& pieces = stream.pieces;
    Clock::time_point origin = Clock::now();
    for (;;) {
      std::size_t piece = 0;
      while (piece < pieces.size()) {
        if (stopping()) return ended(Outcome::Stopped);
        if (timeUp()) return ended(Outcome::TimeUp);
        if (paced) {
          const Outcome o = waitOn(fd, due(origin, pieces[piece].timeNs));
          if (o != Outcome::Done) return ended(o);
        }
        // Everything due by now goes in one send.
        const auto now = Clock::now();
        std::size_t last = piece + 1;
        while (last < pieces.size() && (!paced || due(origin, pieces[last].timeNs) <= now)) ++last;
        const std::size_t from = pieces[piece].offset;
        const std::size_t to = pieces[last - 1].offset + pieces[last - 1].size;
        const Outcome o = sendAll(fd, stream.bytes.data() + from, to - from);
        if (o != Outcome::Done) return ended(o);
        piece = last;
      }
      if (!loop) break;
      // The next round keeps the capture's delay before its first byte.
      origin = Clock::now();
    }
    if (paced && stream.end != capture::StreamEnd::Open) {
      const Outcome o = waitOn(fd, due(origin, stream.endNs));
      if (o != Outcome::Done) return ended(o);
    }
    switch (stream.end) {
      case capture::StreamEnd::Closed:
        closeInOrder(fd);
        return {
            stream.stoppedAtHole ? "closed at the capture's first hole" : "closed after the last byte (FIN)",
            std::nullopt};
      case capture::StreamEnd::Reset:
        resetConnection(fd);
        return {"reset after the last byte (RST)", std::nullopt};
      case capture::StreamEnd::Open:
        break;
    }
    // The capture ends with the connection open: so it stays, until the
    // client closes it.
    const Ending e = ended(waitOn(fd, std::nullopt));
    return {e.how + " (the capture ends with the connection open)", e.stop};
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
      int fd = net::acceptConnection(listener, "", &peer);
      if (fd < 0) continue;
      const std::uint64_t client = clients.fetch_add(1) + 1;
      servedClient = client;
      servedPeer = peer;
      emit({ServerEvent::Kind::Connected, client, peer, 0, 0, {}});
      const std::uint64_t before = bytes.load();
      Ending ending;
      try {
        ending = serve(fd);
      } catch (...) {
        net::closeFd(fd);
        throw;
      }
      if (fd >= 0) closeInOrder(fd);
      emit({ServerEvent::Kind::Disconnected, client, peer, 0, bytes.load() - before, ending.how});
      if (ending.stop) return *ending.stop;
      if (settings.clients != 0 && client >= settings.clients) return StopReason::Clients;
    }
  }
};

ReplayServer::ReplayServer(ReplaySettings settings, capture::BoardStream stream,
                           BoardServer::EventHandler onEvent)
    : impl_(std::make_unique<Impl>(std::move(settings), std::move(stream), std::move(onEvent))) {}

ReplayServer::~ReplayServer() = default;

StopReason ReplayServer::run() { return impl_->run(); }

void ReplayServer::requestStop() noexcept {
  impl_->stopRequested.store(true);
  impl_->wake.wake();
}

std::uint64_t ReplayServer::bytesSent() const { return impl_->bytes.load(); }
std::uint64_t ReplayServer::clientsServed() const { return impl_->clients.load(); }

}  // namespace boardsim
