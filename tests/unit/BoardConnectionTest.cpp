// Address handling and keepalive settings of the board connection,
// without connecting anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>

#include "connection/KeepaliveSettings.hpp"
#include "connection/OstraBoardConnection.hpp"
#include "connection/StateMachine.hpp"

namespace {

TEST(BoardAddress, NumericAddressesGiveTheBoardPortInTheirFamily) {
  const auto v4 = OstraBoardConnection::endpointFor("192.168.10.20");
  EXPECT_TRUE(v4.address().is_v4());
  EXPECT_EQ(v4.address().to_string(), "192.168.10.20");
  EXPECT_EQ(v4.port(), 63751);
  const auto v6 = OstraBoardConnection::endpointFor("2001:db8::10");
  EXPECT_TRUE(v6.address().is_v6());
  EXPECT_EQ(v6.port(), 63751);
  EXPECT_TRUE(OstraBoardConnection::endpointFor("fe80::1%1").address().is_v6());
}

// The library's own exception, naming the address and the rule.
std::pair<int, std::string> refusal(const std::function<void()>& f) {
  try {
    f();
  } catch (const mirt::VarnelException& e) {
    return {e.getErrorCode(), e.what()};
  } catch (...) {
    return {-2, "another type"};
  }
  return {-1, "nothing thrown"};
}

std::string refusalText(const std::string& address) {
  return "'" + address +
         "' is not a numeric IPv4 or IPv6 address (host names and port suffixes are not accepted)";
}

TEST(BoardAddress, PortSuffixesHostNamesAndEmptyTextsAreRefused) {
  for (const char* bad : {"192.168.10.20:63751", "", "board", "localhost", "[::1]", "256.1.1.1"}) {
    EXPECT_EQ(refusal([&] { OstraBoardConnection::endpointFor(bad); }),
              std::make_pair(static_cast<int>(mirt::VarnelException::GeneralError), refusalText(bad)));
  }
  // Not cut at an embedded NUL.
  EXPECT_EQ(refusal([&] { OstraBoardConnection::endpointFor(std::string("127.0.0.1\0x", 11)); }).second,
            refusalText("127.0.0.1\\0x"));
}

TEST(BoardAddress, CreateRefusesABadAddressBeforeSignallingAnything) {
  auto stateMachine = std::make_shared<StateMachine>();
  OstraDataStreamImpl stream;
  EXPECT_EQ(refusal([&] {
              OstraBoardConnection::create("192.168.10.20:63751", &stream, stateMachine,
                                           [](mirt::OstraDataStream*) {}, {25, 250});
            }).second,
            refusalText("192.168.10.20:63751"));
  EXPECT_EQ(stateMachine->getState(), IDLE);
}

TEST(Keepalive, SettingsAddUpToAboutTheTcpTimeoutWithinTheSystemsLimits) {
  constexpr std::uint32_t most = std::numeric_limits<std::uint32_t>::max();
  struct Row {
    std::uint32_t timeout;
    KeepaliveSettings expected;  // idle, interval, count, ten-probe interval (ms)
  };
  const Row rows[] = {
      {0, {1, 1, 1, 100}},                   // taken as 1
      {1, {1, 1, 1, 100}},                   // no time left after the first probe: one probe
      {2, {1, 1, 1, 100}},                   //
      {7, {4, 1, 3, 300}},                   // odd: the first probe rounds up
      {10, {5, 1, 5, 500}},                  // the default
      {300, {150, 2, 127, 15000}},           // the probe count at its limit: longer intervals
      {100000, {32767, 530, 127, 6723300}},  // the first probe at its limit
      {most, {32767, 32767, 127, most}},     // every setting at its limit, no overflow
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.timeout);
    const KeepaliveSettings s = keepaliveSettings(row.timeout);
    EXPECT_EQ(s, row.expected);
    // Never sooner than the timeout; at most 2t + 2 s below the limits.
    const std::uint64_t total =
        std::uint64_t{s.idleSeconds} + std::uint64_t{s.intervalSeconds} * s.probeCount;
    const std::uint64_t t = std::max<std::uint32_t>(row.timeout, 1);
    if (row.timeout < 100000) {
      EXPECT_GE(total, t);
      EXPECT_LE(total, 2 * t + 2);
    }
  }
}

}  // namespace
