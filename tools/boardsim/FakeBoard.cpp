#include "boardsim/FakeBoard.hpp"

#include "boardsim/Net.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace boardsim {

using namespace std::chrono_literals;

// ---------------------------------------------------------------- Script

Script& Script::send(std::vector<std::uint8_t> bytes, std::size_t chunkSize, std::chrono::milliseconds pace) {
  steps_.push_back(Step{Kind::Send, std::move(bytes), chunkSize, pace});
  return *this;
}

Script& Script::sendEach(const std::vector<std::vector<std::uint8_t>>& pieces,
                         std::chrono::milliseconds pace) {
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0 && pace > 0ms) {
      pause(pace);
    }
    send(pieces[i]);
  }
  return *this;
}

Script& Script::pause(std::chrono::milliseconds duration) {
  steps_.push_back(Step{Kind::Pause, {}, 0, duration});
  return *this;
}

Script& Script::waitForClientClose() {
  steps_.push_back(Step{Kind::WaitForClientClose, {}, 0, {}});
  return *this;
}

Script& Script::close() {
  steps_.push_back(Step{Kind::Close, {}, 0, {}});
  return *this;
}

Script& Script::reset() {
  steps_.push_back(Step{Kind::Reset, {}, 0, {}});
  return *this;
}

Script& Script::silent() {
  steps_.push_back(Step{Kind::Silent, {}, 0, {}});
  return *this;
}

Script& Script::acceptNext() {
  steps_.push_back(Step{Kind::AcceptNext, {}, 0, {}});
  return *this;
}

// ---------------------------------------------------------------- helpers

namespace {

const std::string who = "FakeBoard";

using net::closeFd;

// True when the accept queue holds more connections than the backlog
// allows, so that the system drops further connection requests; false
// also where the system does not tell.
bool acceptQueueFull(int listener) {
  const auto queue = net::acceptQueue(listener);
  return queue && queue->full;
}

}  // namespace

// ---------------------------------------------------------------- Impl

struct FakeBoard::Impl {
  std::vector<Script::Step> steps;
  int listener = -1;
  net::WakePipe wake;
  int client = -1;  // touched by the board's thread only while it runs
  std::vector<int> fillers;
  std::thread thread;
  std::atomic<bool> stopping{false};
  mutable std::mutex stopMutex;
  bool stopped = false;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::size_t accepted = 0;
  std::size_t peerClosed = 0;
  std::uint64_t sent = 0;
  bool finished = false;
  std::string failure;

  enum class Event { Stopped, TimedOut, Writable, Readable, PeerClosed };

  ~Impl() {
    closeFd(client);
    closeFd(listener);
    for (int& fd : fillers) {
      closeFd(fd);
    }
  }

  template <typename F>
  void update(F&& change) {
    {
      std::lock_guard lock(mutex);
      change();
    }
    changed.notify_all();
  }

  template <typename P>
  bool waitUntil(Clock::time_point deadline, P&& condition) const {
    std::unique_lock lock(mutex);
    changed.wait_until(lock, deadline, [&] { return condition() || !failure.empty(); });
    return condition();
  }

  // The client closed its end: count it and drop the connection.
  void onPeerClosed() {
    closeFd(client);
    update([&] { ++peerClosed; });
  }

  // Reads what the client sent (the receiver sends nothing, so this is the
  // end of the stream or an error in practice). Returns true if the peer
  // has closed.
  bool drainClient() {
    if (!net::peerHasClosed(client)) {
      return false;
    }
    onPeerClosed();
    return true;
  }

  // Waits for the stop request, the deadline, a writable client socket
  // (if `wantWrite`), a pending connection (if `watchListener`), and always
  // for the client closing its end.
  Event await(std::optional<Clock::time_point> deadline, bool wantWrite = false, bool watchListener = false) {
    for (;;) {
      const net::Readiness r =
          net::waitReady(wake.readFd(), client, wantWrite, watchListener ? listener : -1, deadline);
      if (r.woken || stopping.load()) {
        return Event::Stopped;
      }
      if (r.input && drainClient()) {
        return Event::PeerClosed;
      }
      if (r.writable) {
        return Event::Writable;
      }
      if (r.listener) {
        return Event::Readable;
      }
      if (r.timedOut || (deadline && Clock::now() >= *deadline)) {
        return Event::TimedOut;
      }
    }
  }

  // Returns false when the connection ended or the board is stopping.
  bool sendAll(const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
      const std::ptrdiff_t n = net::sendSome(client, data, length);
      if (n > 0) {
        data += n;
        length -= static_cast<std::size_t>(n);
        update([&] { sent += static_cast<std::uint64_t>(n); });
        continue;
      }
      if (n == 0) {
        const Event e = await(std::nullopt, true);
        if (e == Event::Stopped || e == Event::PeerClosed) {
          return false;
        }
        continue;
      }
      // Reset, closed or failed: the client is gone.
      onPeerClosed();
      return false;
    }
    return true;
  }

  bool pauseFor(std::chrono::milliseconds duration) {
    const Event e = await(Clock::now() + duration);
    return e == Event::TimedOut;
  }

  void sendStep(const Script::Step& step) {
    const std::size_t chunk = step.chunkSize == 0 ? step.bytes.size() : step.chunkSize;
    for (std::size_t offset = 0; offset < step.bytes.size(); offset += chunk) {
      if (offset > 0 && step.duration > 0ms && !pauseFor(step.duration)) {
        return;
      }
      const std::size_t length = std::min(chunk, step.bytes.size() - offset);
      if (!sendAll(step.bytes.data() + offset, length)) {
        return;
      }
    }
  }

  void closeClient(bool abort) {
    if (client < 0) {
      return;
    }
    if (abort) {
      // Let the client receive everything first, so that the reset is what
      // it sees after the data, not instead of it.
      const auto deadline = Clock::now() + 2s;
      for (int i = 0; i < 4000 && client >= 0; ++i) {
        if (net::unsentBytes(client) == 0) {
          break;
        }
        const Event e = await(std::min(deadline, Clock::now() + 1ms));
        if (e == Event::Stopped || Clock::now() >= deadline) {
          break;
        }
      }
      if (client < 0) {
        return;  // the client closed meanwhile
      }
      net::setAbortiveClose(client);
    } else if (drainClient()) {
      return;  // the client closed first
    }
    closeFd(client);
  }

  // Returns false when the board is stopping.
  bool acceptClient() {
    for (;;) {
      const Event e = await(std::nullopt, false, true);
      if (e == Event::Stopped) {
        return false;
      }
      const int fd = net::acceptConnection(listener, who);
      if (fd < 0) {
        continue;
      }
      client = fd;
      update([&] { ++accepted; });
      return true;
    }
  }

  void play() {
    if (!acceptClient()) {
      return;
    }
    for (std::size_t i = 0; i < steps.size() && !stopping.load(); ++i) {
      const Script::Step& step = steps[i];
      if (client < 0 && step.kind != Script::Kind::AcceptNext) {
        continue;  // this connection has ended: skip to the next client
      }
      switch (step.kind) {
        case Script::Kind::Send:
          sendStep(step);
          break;
        case Script::Kind::Pause:
          pauseFor(step.duration);
          break;
        case Script::Kind::WaitForClientClose:
          while (client >= 0 && await(std::nullopt) != Event::Stopped) {
          }
          break;
        case Script::Kind::Close:
          closeClient(false);
          break;
        case Script::Kind::Reset:
          closeClient(true);
          break;
        case Script::Kind::Silent:
          i = steps.size() - 1;
          break;
        case Script::Kind::AcceptNext:
          closeClient(false);
          if (!acceptClient()) {
            return;
          }
          break;
      }
    }
    if (stopping.load()) {
      return;
    }
    update([&] { finished = true; });
    // Hold the connection; a client closing it is still counted.
    while (await(std::nullopt) != Event::Stopped) {
    }
  }

  void run() {
    try {
      play();
    } catch (const std::exception& e) {
      update([&] { failure = e.what(); });
    }
    closeClient(false);
  }

  void makeFillers(const std::string& address) {
    const net::Endpoint ep = net::parseEndpoint(address, FakeBoard::port, who);
    // Linux keeps one connection more in the queue than the backlog names;
    // a few more attempts cover other counting rules. Where the system does
    // not tell the queue's length, the first connect that does not complete
    // shows that the queue is full.
    for (int i = 0; i < 8 && !acceptQueueFull(listener); ++i) {
      fillers.push_back(net::startConnect(ep, who + ": filler"));
      if (!net::waitConnected(fillers.back(), 300, who + ": filler")) {
        return;  // this request is already dropped: the queue is full
      }
    }
    if (!acceptQueueFull(listener)) {
      throw std::runtime_error("FakeBoard: the accept queue of " + address + " did not fill up");
    }
  }
};

// ---------------------------------------------------------------- FakeBoard

FakeBoard::FakeBoard(const std::string& address, Script script) : impl_(std::make_unique<Impl>()) {
  impl_->steps = std::move(script.steps_);
  impl_->listener = net::makeListener(address, FakeBoard::port, 8, who);
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

FakeBoard::FakeBoard(const std::string& address, NeverAccept) : impl_(std::make_unique<Impl>()) {
  impl_->listener = net::makeListener(address, FakeBoard::port, 0, who);
  impl_->makeFillers(address);
  impl_->update([&] { impl_->finished = true; });
}

FakeBoard::~FakeBoard() { stop(); }

void FakeBoard::stop() {
  std::lock_guard lock(impl_->stopMutex);
  if (impl_->stopped) {
    return;
  }
  impl_->stopped = true;
  impl_->stopping.store(true);
  impl_->wake.wake();
  if (impl_->thread.joinable()) {
    impl_->thread.join();
  }
  // The listener first: what waits in its queue is reset, then the fillers.
  closeFd(impl_->listener);
  for (int& fd : impl_->fillers) {
    closeFd(fd);
  }
}

void FakeBoard::drainQueue() {
  std::lock_guard lock(impl_->stopMutex);
  if (impl_->listener < 0) return;
  for (std::size_t i = 0; i < 64; ++i) {  // the queue holds a few at most
    int fd = net::acceptConnection(impl_->listener, who);
    if (fd < 0) break;
    closeFd(fd);
  }
  for (int& fd : impl_->fillers) {
    closeFd(fd);
  }
}

std::size_t FakeBoard::clientsAccepted() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->accepted;
}

std::size_t FakeBoard::clientsClosed() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->peerClosed;
}

std::size_t FakeBoard::clientsWaiting() const {
  std::lock_guard lock(impl_->stopMutex);  // the listener stays open meanwhile
  const auto queue = net::acceptQueue(impl_->listener);
  return queue ? queue->waiting : 0;
}

std::uint64_t FakeBoard::bytesSent() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->sent;
}

bool FakeBoard::done() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->finished;
}

std::string FakeBoard::error() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->failure;
}

std::size_t FakeBoard::fillerConnections() const { return impl_->fillers.size(); }

bool FakeBoard::waitForClient(Clock::time_point deadline, std::size_t count) const {
  return impl_->waitUntil(deadline, [&] { return impl_->accepted >= count; });
}

bool FakeBoard::waitForClientClosed(Clock::time_point deadline, std::size_t count) const {
  return impl_->waitUntil(deadline, [&] { return impl_->peerClosed >= count; });
}

bool FakeBoard::waitForBytesSent(std::uint64_t count, Clock::time_point deadline) const {
  return impl_->waitUntil(deadline, [&] { return impl_->sent >= count; });
}

bool FakeBoard::waitForDone(Clock::time_point deadline) const {
  return impl_->waitUntil(deadline, [&] { return impl_->finished; });
}

}  // namespace boardsim
