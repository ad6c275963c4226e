// The board version check belongs to each connection: a too-old board is
// refused whatever other boards of the process, or earlier connections of
// the same parser, have passed.
#include <gtest/gtest.h>

#include "boardsim/FakeBoard.hpp"
#include "boardsim/PackageBuilder.hpp"
#include "support/Collector.hpp"
#include "support/Loopback.hpp"
#include "support/Parser.hpp"

using namespace support;
using boardsim::FakeBoard;
using boardsim::Script;
using mirt::ConnectionState;
using mirt::VarnelException;

namespace {

const std::string tooOldText =
    "readBody: Connected Ostra6 has wrong version (Minimum 1.16.3). Found (Minimum): DSP: 645 (646), "
    "Firmware: 638 (639), BIOS: 0x3f (0x40)";

std::vector<std::uint8_t> tooOldPackage(std::uint64_t number) {
  auto spec = boardsim::numberedPackages(number, 1)[0];
  spec.meta.dspVersion = 1645;
  spec.meta.firmwareVersion = 38;
  spec.meta.biosVersion = 0x3F;
  return boardsim::encode(spec);
}

// Waits for the refusal of a too-old board and checks what was recorded.
void expectRefused(Parser& parser) {
  ASSERT_TRUE(eventually([&] { return parser->getState() == ConnectionState::Error; }));
  const auto [code, text] = varnelError([&] { parser->disconnect(); });
  EXPECT_EQ(code, VarnelException::VersionMismatch);
  EXPECT_EQ(text, tooOldText);
}

TEST(BoardVersion, TooOldBoardIsRefusedWhileAGoodBoardOfTheProcessGoesOn) {
  // The good board streams for up to ten seconds, long enough to go on
  // after the other board's refusal.
  FakeBoard good(loopback(Block::EndToEnd, 60),
                 Script().sendEach(boardsim::encodeEach(boardsim::numberedPackages(1, 2000)), 5ms).silent());
  FakeBoard old(loopback(Block::EndToEnd, 61), Script().send(tooOldPackage(1)).silent());
  Parser first(loopback(Block::EndToEnd, 60), 1);
  Parser second(loopback(Block::EndToEnd, 61), 1);

  first->connect();
  ASSERT_TRUE(first.collector.waitForPackages(1));  // a body of this process has passed the check
  connectAllowingEarlyFailure(*second);
  expectRefused(second);
  EXPECT_EQ(second.collector.packageCount(), 0u);

  const std::size_t before = first.collector.packageCount();
  EXPECT_TRUE(first.collector.waitForPackages(before + 5));
  EXPECT_TRUE(first->isConnected());
  EXPECT_NO_THROW(first->disconnect());
}

TEST(BoardVersion, ParserThatReconnectsToATooOldBoardRefusesIt) {
  // The same address serves a good board, then one that is too old.
  FakeBoard board(loopback(Block::EndToEnd, 62),
                  Script()
                      .send(boardsim::encode(boardsim::numberedPackages(1, 1)[0]))
                      .waitForClientClose()
                      .acceptNext()
                      .send(tooOldPackage(2))
                      .silent());
  Parser parser(loopback(Block::EndToEnd, 62), 1);
  parser->connect();
  ASSERT_TRUE(parser.collector.waitForPackages(1));
  EXPECT_NO_THROW(parser->disconnect());

  connectAllowingEarlyFailure(*parser);
  expectRefused(parser);
  EXPECT_EQ(parser.collector.packageCount(), 1u);
}

}  // namespace
