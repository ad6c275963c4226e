#pragma once

// Hands the raw bytes of a board connection to the application's receive
// observer (mirt::Varnel::setReceiveObserver), for a capture of the stream.
// Used only on the connection's I/O thread. Without an observer the
// connection asks `if (tap)` once per read and nothing else happens: no
// clock is read, no text made. The observer runs as the data callback
// does: a disconnect from inside it is refused, and a parser destroyed
// inside it leaves the connection abandoned (the caller looks after each
// event).

#include <utility>  // before Boost.Asio with -std=c++20 (Boost 1.74)

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "varnel/varnel.hpp"

class StateMachine;

class ReceiveTap {
 public:
  using Observer = std::function<void(const mirt::ReceivedBytes&)>;

  // `owner` is the connection's state machine, whose callbacks the
  // observer counts among.
  ReceiveTap(Observer observer, const StateMachine* owner) : observer_(std::move(observer)), owner_(owner) {}

  explicit operator bool() const { return static_cast<bool>(observer_); }

  // The connect completed: takes the socket's two endpoints for every later
  // event and tells the observer. Throws VarnelMinorException
  // ("receiveObserver: ...", GeneralError) when the observer throws.
  void connected(const boost::asio::ip::tcp::socket& socket);
  // A read brought `size` bytes at `data` (none is told as no event).
  // Throws as connected does.
  void received(const std::uint8_t* data, std::size_t size);
  // A read ended with `error`, told as the end of the connection (Closed,
  // Reset or Failed). Throws as connected does.
  void ended(const boost::system::error_code& error);

 private:
  void tell(mirt::ReceivedBytes::Event event, const std::uint8_t* data, std::size_t size, const char* text);

  Observer observer_;
  const StateMachine* owner_;
  std::string localAddress_;
  std::string boardAddress_;
  std::uint16_t localPort_ = 0;
  std::uint16_t boardPort_ = 0;
};
