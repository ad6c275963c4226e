// The hand-over of a stream to the callback, without a connection.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

#include "connection/StateMachine.hpp"
#include "connection/StreamHandOver.hpp"
#include "stream/OstraDataStreamImpl.hpp"
#include "support/PackageBytes.hpp"

using mirt::VarnelException;
using namespace std::chrono_literals;

namespace {

struct Piece {
  bool endFlag;
  bool goesOn;  // bit 30 of the status word
};

void append(OstraDataStreamImpl& stream, Piece piece) {
  const std::uint32_t status = piece.goesOn ? package::streamContinuesBit : 0;
  stream.appendPackage(bytes::readerOf(
      *bytes::package({.flags = static_cast<std::uint16_t>(piece.endFlag ? 1 : 0), .statusWord = status})));
}

// A state machine in CONNECTED, as after a connect.
std::unique_ptr<StateMachine> connectedMachine() {
  auto machine = std::make_unique<StateMachine>();
  machine->signalState(CONNECTING, nullptr, VarnelException::Unspecified);
  machine->signalState(CONNECTED, nullptr, VarnelException::Unspecified);
  return machine;
}

TEST(StreamHandOver, SignalsAroundTheCallbackFollowTheStreamsEnd) {
  struct Row {
    const char* what;
    std::vector<Piece> pieces;
    TCPStates inside;  // seen by the callback
    TCPStates after;
  };
  // One hand-over after the other: whether RECEIVING was signalled carries
  // over from row to row.
  const std::vector<Row> rows = {
      {"empty: nothing signalled", {}, CONNECTED, CONNECTED},
      {"finished in one piece: state left as it is", {{true, false}}, CONNECTED, CONNECTED},
      {"unfinished", {{false, false}, {false, false}}, RECEIVING, RECEIVING},
      {"end flag with bit 30 set: goes on", {{true, true}}, RECEIVING, RECEIVING},
      {"empty in the middle of a stream", {}, RECEIVING, RECEIVING},
      {"finished: CONNECTED after the callback", {{false, false}, {true, false}}, RECEIVING, CONNECTED},
      {"the next stream finished in one piece", {{true, false}}, CONNECTED, CONNECTED},
  };
  const auto machine = connectedMachine();
  OstraDataStreamImpl stream;
  TCPStates inside = IDLE;
  std::size_t handed = 0;
  StreamHandOver handOver(
      *machine,
      [&](mirt::OstraDataStream* s) {
        inside = machine->getState();
        handed = s->getSize();
        EXPECT_TRUE(StreamHandOver::isInsideCallback(machine.get()));
        s->pop();  // the rest is destroyed when the callback returns
      },
      250ms);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const Piece& piece : row.pieces) append(stream, piece);
    const auto before = StreamHandOver::Clock::now();
    handOver.deliver(stream);
    const auto after = StreamHandOver::Clock::now();
    EXPECT_EQ(inside, row.inside);
    EXPECT_EQ(machine->getState(), row.after);
    EXPECT_EQ(handed, row.pieces.size());
    EXPECT_EQ(stream.getSize(), 0u);
    // The next timer hand-over is due the wait time after this one.
    EXPECT_GE(handOver.due(), before + 250ms);
    EXPECT_LE(handOver.due(), after + 250ms);
  }
  EXPECT_FALSE(StreamHandOver::isInsideCallback(machine.get()));
  const mirt::VarnelStatistics figures = machine->statistics().snapshot();
  EXPECT_EQ(figures.handOvers, rows.size());
  EXPECT_EQ(figures.emptyHandOvers, 2u);
  EXPECT_EQ(figures.largestHandOver, 2u);
  EXPECT_EQ(figures.packagesNotPopped, 2u);  // one each of the two-package rows
  EXPECT_FALSE(handOver.callbackThrew());
}

TEST(StreamHandOver, ACallbackThatThrowsLeavesItsPackagesInTheStream) {
  const auto machine = connectedMachine();
  OstraDataStreamImpl stream;
  for (int i = 0; i < 3; ++i) append(stream, {false, false});
  StreamHandOver handOver(
      *machine,
      [](mirt::OstraDataStream* s) {
        s->pop();
        throw std::runtime_error("x");
      },
      250ms);
  EXPECT_THROW(handOver.deliver(stream), std::runtime_error);
  EXPECT_TRUE(handOver.callbackThrew());
  EXPECT_FALSE(StreamHandOver::isInsideCallback(machine.get()));
  EXPECT_EQ(stream.getSize(), 2u);
  const mirt::VarnelStatistics figures = machine->statistics().snapshot();
  EXPECT_EQ(figures.handOvers, 1u);
  EXPECT_EQ(figures.packagesNotPopped, 0u);  // kept, not destroyed
  EXPECT_EQ(machine->getState(), RECEIVING);

  // Without a target the call itself throws, and counts the same way.
  StreamHandOver empty(*machine, {}, 250ms);
  EXPECT_THROW(empty.deliver(stream), std::bad_function_call);
  EXPECT_TRUE(empty.callbackThrew());
  EXPECT_EQ(stream.getSize(), 2u);
}

}  // namespace
