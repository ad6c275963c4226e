// Thirty-two parsers receive from thirty-two boards at once: every package
// of every board arrives intact and in order, and the parsers release
// everything afterwards.
#include "faults/FaultSupport.hpp"
#include "support/Loopback.hpp"

using namespace faults;
using boardsim::FakeBoard;
using boardsim::Script;

namespace {

constexpr unsigned boards = 32;
constexpr std::size_t packagesPerBoard = 300;

std::string boardAddress(unsigned b) { return support::loopback(support::Block::ManyBoards, 2 + b); }

// Each board has its own shape, end-of-stream rhythm, piece size and pace,
// and each parser its own package counter and wait time.
std::vector<PackageSpec> packagesOf(unsigned b) {
  auto specs = boardsim::numberedPackages(1, packagesPerBoard, b % 8 + 1, 4 + b % 13);
  for (std::size_t i = b % 5 + 2; i < specs.size(); i += b % 5 + 3) specs[i].endOfStream();
  for (std::size_t i = b % 3; i < specs.size(); i += 11) specs[i].streamContinues();
  return specs;
}

TEST_F(FaultTest, ThirtyTwoBoardsAtOnceDeliverEveryPackageIntactAndInOrder) {
  std::vector<std::unique_ptr<FakeBoard>> board;
  std::vector<SentPackages> sent(boards);
  for (unsigned b = 0; b < boards; ++b) {
    const auto specs = packagesOf(b);
    sent[b].add(specs);
    const std::size_t piece = 97 * (b + 1) % 1500 + 64;
    board.push_back(std::make_unique<FakeBoard>(
        boardAddress(b),
        Script().send(boardsim::encodeAll(specs), piece, std::chrono::milliseconds(1 + b % 2)).silent()));
  }
  std::vector<std::unique_ptr<Parser>> parser;
  for (unsigned b = 0; b < boards; ++b) {
    parser.push_back(std::make_unique<Parser>(boardAddress(b), b % 7 + 1, 5 + b % 10));
    bounded("connect", 10s, [&] { ASSERT_NO_THROW((*parser[b])->connect()); });
  }
  // The test thread takes the packages over while the boards stream and
  // destroys them here, as an application that moves its packages to
  // another thread would.
  std::vector<std::vector<std::uint64_t>> numbers(boards);
  const auto complete = [&] {
    for (const auto& n : numbers) {
      if (n.size() < packagesPerBoard) return false;
    }
    return true;
  };
  const auto deadline = Clock::now() + scaled(30s);
  for (int round = 0; round < 100000 && !complete() && Clock::now() < deadline; ++round) {
    for (unsigned b = 0; b < boards; ++b) {
      const auto taken = sent[b].numbersOf(parser[b]->collector.takePackages());
      numbers[b].insert(numbers[b].end(), taken.begin(), taken.end());
    }
    Collector& first = parser[round % boards]->collector;
    first.waitForHandOvers(first.takeHandOvers().size() + 1, 10ms);
  }
  for (unsigned b = 0; b < boards; ++b) {
    SCOPED_TRACE("board " + boardAddress(b));
    EXPECT_EQ(numbers[b], range(1, packagesPerBoard));
    EXPECT_TRUE((*parser[b])->isConnected());
    EXPECT_EQ(asyncError(*parser[b]->varnel).first, -1);
  }
  for (unsigned b = 0; b < boards; ++b) {
    bounded("disconnect", 5s, [&] { EXPECT_NO_THROW((*parser[b])->disconnect()); });
  }
  bounded("destroy every parser", 10s, [&] { parser.clear(); });
  for (unsigned b = 0; b < boards; ++b) {
    EXPECT_TRUE(board[b]->waitForClientClosed(scaled(5s)));
    EXPECT_EQ(board[b]->error(), "");
  }
}

}  // namespace
