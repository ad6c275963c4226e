#include "monitor/Board.hpp"

#include <algorithm>
#include <iostream>

#include "common/Wording.hpp"

namespace monitor {

namespace {

const char* codeName(int code) {
  switch (code) {
    case mirt::VarnelException::Unspecified:
      return "Unspecified";
    case mirt::VarnelException::ConnectionFailed:
      return "ConnectionFailed";
    case mirt::VarnelException::CommunicationError:
      return "CommunicationError";
    case mirt::VarnelException::GeneralError:
      return "GeneralError";
    case mirt::VarnelException::VersionMismatch:
      return "VersionMismatch";
  }
  return "unknown";
}

}  // namespace

Failure failureOf(const mirt::VarnelException& e) {
  return Failure{static_cast<int>(e.getErrorCode()), e.what(), e.getFailureCause()};
}

std::optional<Failure> recordedError(mirt::Varnel& parser) {
  try {
    parser.getAsyncError();
  } catch (const mirt::VarnelException& e) {
    return failureOf(e);
  }
  return std::nullopt;
}

std::string failureText(const Failure& f) {
  return "error " + std::to_string(f.code) + " (" + codeName(f.code) + "): " + f.text;
}

int reportFailure(const Failure& f) {
  std::cerr << "varnel-monitor: " << failureText(f) << std::endl;
  return 10 + f.code;
}

bool closedByBoard(const Failure& f) {
  return f.cause == mirt::FailureCause::ClosedBetweenPackages ||
         f.cause == mirt::FailureCause::ClosedInsidePackage;
}

void reportClose(const Failure& f, std::uint64_t packages) {
  if (f.cause == mirt::FailureCause::ClosedBetweenPackages && packages == 0) {
    std::cerr << "varnel-monitor: the board closed the connection before a complete package (a board "
                 "that is serving another client turns a second one away)"
              << std::endl;
  } else if (f.cause == mirt::FailureCause::ClosedBetweenPackages) {
    std::cerr << "varnel-monitor: the board closed the connection after "
              << cli::counted(packages, "complete package") << ", between two packages" << std::endl;
  } else if (f.cause == mirt::FailureCause::ClosedInsidePackage) {
    std::cerr << "varnel-monitor: the board closed the connection inside a package, after "
              << cli::counted(packages, "complete package") << std::endl;
  } else if (f.cause == mirt::FailureCause::WrongProtocolVersion && packages != 0) {
    // The board's headers passed this check until now: the bytes read as
    // a header are most likely not one.
    std::cerr << "varnel-monitor: a header after " << cli::counted(packages, "complete package")
              << " named another protocol version: the stream has most likely lost its framing (a package "
                 "whose size disagrees with the bytes the board sent), as the earlier headers passed the "
                 "same check"
              << std::endl;
  }
}
Board::Board(const Options& options, Receiver& receiver, capture::CaptureWriter* capture)
    : addresses_(options.addresses) {
  for (const std::string& address : addresses_) {
    parsers_.push_back(
        mirt::createVarnel(address, [&receiver](mirt::OstraDataStream* stream) { receiver(stream); }));
    mirt::Varnel& parser = *parsers_.back();
    if (capture != nullptr) {
      parser.setReceiveObserver([capture](const mirt::ReceivedBytes& bytes) { capture->observe(bytes); });
    }
    if (options.packageCounter) parser.setPackageCounter(*options.packageCounter);
    if (options.waitMs) parser.setWaitTimeMs(*options.waitMs);
    if (options.tcpTimeout) parser.setTcpTimeout(*options.tcpTimeout);
  }
}

std::optional<Failure> Board::connect() {
  std::optional<Failure> failure;
  for (std::size_t i = 0; i < parsers_.size(); ++i) {
    const std::size_t k = (current_ + i) % parsers_.size();
    mirt::Varnel& parser = *parsers_[k];
    try {
      parser.connect();
      current_ = k;
      return std::nullopt;
    } catch (const mirt::VarnelException& e) {
      failure = recordedError(parser).value_or(failureOf(e));
    }
    try {
      parser.disconnect();  // throws the recorded error again; a new connect starts afresh
    } catch (const mirt::VarnelException&) {
    }
  }
  return failure;
}

mirt::VarnelStatistics Board::statistics() const {
  mirt::VarnelStatistics sum{};
  for (const auto& parser : parsers_) {
    const mirt::VarnelStatistics s = parser->getStatistics();
    sum.connections += s.connections;
    sum.failures += s.failures;
    sum.packages += s.packages;
    sum.bytes += s.bytes;
    sum.handOvers += s.handOvers;
    sum.emptyHandOvers += s.emptyHandOvers;
    sum.largestHandOver = std::max(sum.largestHandOver, s.largestHandOver);
    sum.packagesNotPopped += s.packagesNotPopped;
    sum.callbackTotalNs += s.callbackTotalNs;
    sum.callbackLongestNs = std::max(sum.callbackLongestNs, s.callbackLongestNs);
  }
  return sum;
}

}  // namespace monitor
