#pragma once

// The board the monitor receives from, through the library's parsers, and
// the failures they report.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <varnel/varnel.hpp>

#include "capture/CaptureWriter.hpp"
#include "monitor/Options.hpp"
#include "monitor/Receiver.hpp"

namespace monitor {

// A failure as the library reports it: its code and cause to act on, its
// text to show.
struct Failure {
  int code;
  std::string text;
  mirt::FailureCause cause = mirt::FailureCause::None;
};

Failure failureOf(const mirt::VarnelException& e);
// The failure the parser has recorded, if any.
std::optional<Failure> recordedError(mirt::Varnel& parser);
// "error 12 (CommunicationError): TEXT".
std::string failureText(const Failure& f);
// Prints the failure on standard error; returns the exit status for it.
int reportFailure(const Failure& f);
// The board ended the connection in order.
bool closedByBoard(const Failure& f);
// Says so when the board closed the connection, with the complete packages
// the connection brought, and whether between two packages or inside one
// (its header or body). A board that serves another client closes the
// connection of a second one before sending it anything. Also says that a
// header of another protocol version after complete packages most likely
// means a stream out of step, not a board too old.
void reportClose(const Failure& f, std::uint64_t packages);

// The board's parsers: one per address its name resolved to (one for a
// numeric address), with the same callback and settings. A connect tries
// them in turn, beginning with the one that connected last.
class Board {
 public:
  Board(const Options& options, Receiver& receiver, capture::CaptureWriter* capture);

  /// Nothing once a parser is connected (also when its board failed the
  /// connection at once: that failure is taken like any later one). Else
  /// the last address's connect failure, as recorded: the board was never
  /// reached (refused, unreachable, no answer, reset while connecting).
  std::optional<Failure> connect();

  mirt::Varnel& parser() { return *parsers_[current_]; }

  /// The library's figures of all the parsers together.
  mirt::VarnelStatistics statistics() const;
  const std::string& address() const { return addresses_[current_]; }
  std::size_t addressCount() const { return parsers_.size(); }

 private:
  std::vector<std::string> addresses_;
  std::vector<std::unique_ptr<mirt::Varnel>> parsers_;
  std::size_t current_ = 0;
};

}  // namespace monitor
