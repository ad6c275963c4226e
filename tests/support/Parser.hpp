#pragma once

// A parser with a collecting callback (support::Collector), for the tests
// that run the library against a board.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "support/Collector.hpp"
#include "support/Waiting.hpp"
#include "varnel/varnel.hpp"

namespace support {

struct Parser {
  Collector collector;
  std::unique_ptr<mirt::Varnel> varnel;
  // The TCP timeout (seconds) is stretched with the tests' time scale.
  explicit Parser(const std::string& address, std::uint32_t counter = 25, std::uint32_t waitMs = 250,
                  std::uint32_t tcpTimeout = 2) {
    varnel = mirt::createVarnel(address, collector.callback());
    collector.parser = varnel.get();
    varnel->setPackageCounter(counter);
    varnel->setWaitTimeMs(waitMs);
    varnel->setTcpTimeout(static_cast<std::uint32_t>(tcpTimeout * timeScale()));
  }
  mirt::Varnel* operator->() { return varnel.get(); }
  mirt::Varnel& operator*() { return *varnel; }
};

// Connects to a board that fails at once. Once the connection is
// established connect succeeds, however soon the board fails after it; it
// may fail only for an attempt that never got established (the board
// refused or reset the connect itself). True when connect succeeded.
inline bool connectAllowingEarlyFailure(mirt::Varnel& parser) {
  try {
    parser.connect();
    return true;
  } catch (const mirt::VarnelException& e) {
    EXPECT_EQ(e.getErrorCode(), mirt::VarnelException::ConnectionFailed) << e.what();
    const mirt::FailureCause cause = e.getFailureCause();
    EXPECT_TRUE(cause == mirt::FailureCause::Refused || cause == mirt::FailureCause::Reset)
        << "connect failed after the connection was established: " << e.what() << " (cause "
        << static_cast<int>(cause) << ")";
  }
  return false;
}

}  // namespace support
