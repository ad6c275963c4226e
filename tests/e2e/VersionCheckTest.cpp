// The board version check is process-wide and runs until one body passes,
// so its failure is tested in a process of its own, before any good body.
#include <gtest/gtest.h>

#include "boardsim/FakeBoard.hpp"
#include "boardsim/PackageBuilder.hpp"
#include "support/Collector.hpp"
#include "support/Loopback.hpp"

using namespace support;
using boardsim::FakeBoard;
using boardsim::Script;
using mirt::VarnelException;

TEST(BoardVersion, TooOldBoardIsRefusedUntilOneBoardPassesThenNeverCheckedAgain) {
  auto old = boardsim::numberedPackages(1, 1);
  old[0].meta.dspVersion = 1645;
  old[0].meta.firmwareVersion = 38;
  old[0].meta.biosVersion = 0x3F;
  const auto good = boardsim::numberedPackages(2, 1);
  FakeBoard board(support::loopback(support::Block::EndToEnd, 60), Script()
                                                                       .send(boardsim::encode(old[0]))
                                                                       .waitForClientClose()
                                                                       .acceptNext()
                                                                       .send(boardsim::encode(good[0]))
                                                                       .send(boardsim::encode(old[0]))
                                                                       .silent());
  Collector collector;
  auto parser = mirt::createVarnel(support::loopback(support::Block::EndToEnd, 60), collector.callback());
  parser->setPackageCounter(1);
  // The connection is established before the first package is refused.
  EXPECT_NO_THROW(parser->connect());
  ASSERT_TRUE(eventually([&] { return parser->getState() == mirt::ConnectionState::Error; }));
  const auto [code, text] = varnelError([&] { parser->disconnect(); });
  EXPECT_EQ(code, VarnelException::VersionMismatch);
  EXPECT_EQ(text,
            "readBody: Connected Ostra6 has wrong version (Minimum 1.16.3). Found (Minimum): DSP: 645 (646), "
            "Firmware: 638 (639), BIOS: 0x3f (0x40)");
  EXPECT_EQ(collector.packageCount(), 0u);

  parser->connect();
  ASSERT_TRUE(collector.waitForPackages(2));  // the old board now passes
  EXPECT_EQ(parser->getState(), mirt::ConnectionState::Receiving);
  EXPECT_NO_THROW(parser->disconnect());
}
