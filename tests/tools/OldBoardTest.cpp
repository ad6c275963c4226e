// varnel-board --old-board: the library refuses it with the versions it
// reports.
#include <signal.h>

#include <gtest/gtest.h>

#include "support/Loopback.hpp"
#include "tools/ToolSupport.hpp"

using namespace tooltest;
using mirt::VarnelException;

TEST(OldBoard, IsRefusedWithTheVersionsItReports) {
  const std::string address = support::loopback(support::Block::Tools, 40);
  auto board = startBoard(address, "--old-board --fast --channels 1 --samples 4");
  Parser parser(address, 1, neverExpires, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, *board));
  const auto [code, text, cause] = awaitFailure(*parser);
  EXPECT_EQ(code, VarnelException::VersionMismatch);
  EXPECT_EQ(cause, mirt::FailureCause::BoardTooOld);
  EXPECT_EQ(text,
            "readBody: Connected Ostra6 has wrong version (Minimum 1.16.3). Found (Minimum): DSP: 645 (646), "
            "Firmware: 638 (639), BIOS: 0x3f (0x40)");
  EXPECT_EQ(parser.collector.packageCount(), 0u);
  EXPECT_THROW(parser->disconnect(), VarnelException);
  EXPECT_TRUE(board->waitForOutput("closed by the client", patience, true)) << board->outputs();
  board->signal(SIGTERM);
  EXPECT_EQ(board->wait(patience), 0) << board->outputs();
}
