// Address handling of the board connection, without connecting anywhere.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

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

}  // namespace
