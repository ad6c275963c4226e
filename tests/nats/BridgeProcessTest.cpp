// Boards through NATS JetStream with the real server: varnel-board ->
// varnel-bridge -> nats-server -> varnel-board --from-nats -> the library
// (and varnel-monitor nats://...), with the bridge killed, the server
// stopped, a cluster losing a server, and input that is wrong. Every test
// binds its own addresses in the NATS block; the servers take free ports.
#include <signal.h>

#include <gtest/gtest.h>
#include <nats/nats.h>

#include <functional>
#include <numeric>
#include <regex>

#include "boardsim/PackageBuilder.hpp"
#include "boardsim/SignalGenerator.hpp"
#include "nats/HandOver.hpp"
#include "nats/NatsLink.hpp"
#include "nats/NatsServer.hpp"
#include "nats/SubjectServer.hpp"
#include "support/Loopback.hpp"

using namespace tooltest;
using natstest::NatsServer;

namespace {

#ifndef VARNEL_BRIDGE_PATH
#error "VARNEL_BRIDGE_PATH must name the built varnel-bridge"
#endif
const std::string bridgePath = VARNEL_BRIDGE_PATH;

std::string address(unsigned host) { return support::loopback(support::Block::Nats, host); }

// The small packages of every test: 2 channels of 16 samples (144 bytes).
constexpr const char* smallPackages = "--channels 2 --samples 16 --quiet ";

boardsim::GeneratorSettings smallShape() {
  boardsim::GeneratorSettings g;
  g.channels = 2;
  g.samplesPerChannel = 16;
  return g;
}

std::unique_ptr<ChildProcess> startBridge(const std::string& url, const std::string& board,
                                          const std::string& more) {
  auto bridge =
      std::make_unique<ChildProcess>(bridgePath, words("--nats " + url + " --board " + board + " " + more));
  EXPECT_TRUE(bridge->waitForOutput("publishing", patience, true)) << bridge->outputs();
  return bridge;
}

// A figure of the last summary line of board `name` ("NAME (...): packages
// 5, ..., dropped 1 (25 packages), ..."): the number behind `key`, a
// pattern ("dropped ", "dropped [0-9]+ \\("); -1 if there is none.
long long figure(const std::string& out, const std::string& name, const std::string& key) {
  const std::size_t line = out.rfind(name + " (");
  if (line == std::string::npos) return -1;
  const std::string text = out.substr(line, out.find('\n', line) - line);
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(" " + key + "([0-9]+)"))) return -1;
  return std::stoll(m[1]);
}

// Asks the bridge for its summary (SIGUSR1) until `key` of board `name` is
// at least `least`.
bool awaitFigure(ChildProcess& bridge, const std::string& name, const std::string& key, long long least,
                 Clock::duration timeout = patience) {
  const auto deadline = Clock::now() + support::scaled(timeout);
  for (int i = 0; i < 100000 && Clock::now() < deadline && bridge.running(); ++i) {
    bridge.signal(SIGUSR1);
    bridge.pump(100ms);
    if (figure(bridge.out(), name, key) >= least) return true;
  }
  return figure(bridge.out(), name, key) >= least;
}

// Collects the headerValues a parser receives until the one numbered
// `last` has come.
bool collectUntil(Parser& parser, std::vector<std::uint64_t>& numbers, std::uint64_t last,
                  Clock::duration timeout = patience) {
  return support::eventually(
      [&] {
        for (const auto& p : parser.collector.takePackages()) numbers.push_back(p->getMetaData().headerValue);
        return !numbers.empty() && numbers.back() >= last;
      },
      timeout);
}

// Numbers strictly rising (nothing twice, nothing out of order); the count
// of numbers missing between them.
std::uint64_t missingIn(const std::vector<std::uint64_t>& numbers, std::uint64_t first) {
  std::uint64_t missing = 0;
  std::uint64_t expected = first;
  for (const std::uint64_t n : numbers) {
    EXPECT_GE(n, expected) << "a package came twice or out of order";
    if (n > expected) missing += n - expected;
    expected = n + 1;
  }
  return missing;
}

// The numbers of the packages that the stream stored at `sinceNs` or
// later, read with the stream's own time of each message.
std::vector<std::uint64_t> storedSince(const std::string& url, const std::string& subject,
                                       std::int64_t sinceNs) {
  std::vector<std::uint64_t> numbers;
  natsConnection* connection = nullptr;
  jsCtx* js = nullptr;
  natsSubscription* sub = nullptr;
  EXPECT_EQ(natsConnection_ConnectTo(&connection, url.c_str()), NATS_OK);
  natsConnection_JetStream(&js, connection, nullptr);
  jsSubOptions options;
  jsSubOptions_Init(&options);
  options.Ordered = true;
  EXPECT_EQ(js_SubscribeSync(&sub, js, subject.c_str(), nullptr, &options, nullptr), NATS_OK);
  natsMsg* msg = nullptr;
  // Everything is stored: the stream is read until it has nothing more.
  while (sub != nullptr && natsSubscription_NextMsg(&msg, sub, 1000) == NATS_OK) {
    jsMsgMetaData* meta = nullptr;
    natsMsg_GetMetaData(&meta, msg);
    const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
    std::string why;
    const auto starts =
        handover::cutPackages(data, static_cast<std::size_t>(natsMsg_GetDataLength(msg)), why);
    if (meta != nullptr && meta->Timestamp >= sinceNs && starts) {
      for (const std::size_t at : *starts) numbers.push_back(handover::headerValue(data + at));
    }
    jsMsgMetaData_Destroy(meta);
    natsMsg_Destroy(msg);
  }
  natsSubscription_Destroy(sub);
  jsCtx_Destroy(js);
  natsConnection_Destroy(connection);
  return numbers;
}

class NatsBridge : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_WITHOUT_NATS_SERVER(); }
};

TEST_F(NatsBridge, EveryPackageArrivesEqualAndInOrderForTwoConsumersAndALateOne) {
  NatsServer server(address(1), "whole");
  ASSERT_TRUE(server.start());
  constexpr std::size_t count = 300;
  auto board = startBoard(address(2), smallPackages + std::string("--fast --count 300"));
  auto bridge = startBridge(server.url(), address(2) + "=whole", "--package-counter 7 --window 4");
  ChildProcess fed(boardPath, {"--from-nats", server.url(), "varnel.whole", "--bind", address(3)});

  Parser first(address(3), 25, 250, toolTcpTimeout);
  Parser second(address(3), 25, 250, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*first, fed));
  ASSERT_TRUE(connectToBoard(*second, fed));
  ASSERT_TRUE(first.collector.waitForPackages(count, patience)) << fed.outputs() << bridge->outputs();
  ASSERT_TRUE(second.collector.waitForPackages(count, patience)) << fed.outputs();
  // Connected after everything is in the stream: it reads from the start.
  Parser late(address(3), 25, 250, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*late, fed));
  ASSERT_TRUE(late.collector.waitForPackages(count, patience)) << fed.outputs();

  const boardsim::PackageGenerator generator(smallShape());
  for (Parser* parser : {&first, &second, &late}) {
    const auto packages = parser->collector.takePackages();
    ASSERT_EQ(packages.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
      SCOPED_TRACE(i);
      expectPackageEquals(*packages[i], generator.package(i + 1));
    }
    EXPECT_EQ(parser->varnel->getState(), mirt::ConnectionState::Connected);
  }
  bridge->signal(SIGINT);
  EXPECT_EQ(bridge->wait(patience), 0) << bridge->outputs();
  EXPECT_EQ(figure(bridge->out(), "whole", "packages "), 300) << bridge->outputs();
  EXPECT_EQ(figure(bridge->out(), "whole", "acknowledged "), figure(bridge->out(), "whole", "hand-overs "));
  EXPECT_EQ(figure(bridge->out(), "whole", "dropped "), 0);
}

TEST_F(NatsBridge, ABridgeKilledAndStartedAgainLeavesAGapAndNoDuplicate) {
  NatsServer server(address(10), "restart");
  ASSERT_TRUE(server.start());
  auto board = startBoard(address(11), smallPackages + std::string("--rate 300 --count 1200"));
  // A hand-over a second: the packages of the second in which the bridge
  // is killed are lost with it.
  const std::string settings = "--package-counter 100000 --wait-ms 1000 --status-every 0";
  auto first = startBridge(server.url(), address(11) + "=restart", settings);
  ASSERT_TRUE(awaitFigure(*first, "restart", "acknowledged ", 1)) << first->outputs();
  first->signal(SIGKILL);
  ASSERT_TRUE(first->wait(patience).has_value());
  // Everything of the first bridge is stored by now, nothing of the second:
  // a consumer from now on (--new) reads only what the second publishes.
  // One from a time on (--since) reads what was stored from then on: a time
  // within the second bridge's run, whose fraction of a second begins with
  // a zero (which the NATS client writes wrongly).
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const std::int64_t sinceSeconds = std::chrono::duration_cast<std::chrono::seconds>(now).count() + 1;
  const std::string since = std::to_string(sinceSeconds) + ".05";
  ChildProcess fedNew(boardPath,
                      {"--from-nats", server.url(), "varnel.restart", "--new", "--bind", address(13)});
  Parser parserNew(address(13), 25, 250, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parserNew, fedNew));
  auto bridge = startBridge(server.url(), address(11) + "=restart", settings);

  ChildProcess fed(boardPath, {"--from-nats", server.url(), "varnel.restart", "--bind", address(12)});
  Parser parser(address(12), 25, 250, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, fed));
  std::vector<std::uint64_t> numbers;
  ASSERT_TRUE(collectUntil(parser, numbers, 1200)) << fed.outputs() << bridge->outputs();
  const std::uint64_t missing = missingIn(numbers, 1);
  EXPECT_GT(missing, 0u);
  EXPECT_EQ(numbers.size() + missing, 1200u);

  ChildProcess fedSince(
      boardPath, {"--from-nats", server.url(), "varnel.restart", "--since", since, "--bind", address(14)});
  Parser parserSince(address(14), 25, 250, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parserSince, fedSince));
  std::vector<std::uint64_t> fromNew;
  std::vector<std::uint64_t> fromSince;
  ASSERT_TRUE(collectUntil(parserNew, fromNew, 1200)) << fedNew.outputs();
  ASSERT_TRUE(collectUntil(parserSince, fromSince, 1200)) << fedSince.outputs();
  // The first number after the gap: where the second bridge began.
  std::size_t resumed = 1;
  while (resumed < numbers.size() && numbers[resumed] == numbers[resumed - 1] + 1) ++resumed;
  ASSERT_LT(resumed, numbers.size());
  EXPECT_EQ(fromSince, storedSince(server.url(), "varnel.restart", sinceSeconds * 1000000000 + 50000000))
      << fedSince.outputs();
  EXPECT_GE(fromSince.front(), numbers[resumed]);
  // The consumer from now on may have begun after the second's first
  // hand-over, never before it.
  ASSERT_FALSE(fromNew.empty());
  EXPECT_GE(fromNew.front(), numbers[resumed]);
  EXPECT_TRUE(std::equal(fromNew.begin(), fromNew.end(),
                         numbers.end() - static_cast<std::ptrdiff_t>(fromNew.size())));

  // The monitor reads the subject from the start and reports the gap.
  ChildProcess monitor(
      monitorPath, {server.url() + "/varnel.restart", "--count", std::to_string(numbers.size()), "--quiet"});
  EXPECT_EQ(monitor.wait(patience), 0) << monitor.outputs();
  EXPECT_NE(monitor.out().find("gaps: 1 (" + std::to_string(missing) + " packages missing)"),
            std::string::npos)
      << monitor.outputs();
}

// A board that starts its numbering anew while its inputs are still sends
// what it sent before, byte for byte: the stream must take it again, not
// drop it as a copy.
TEST_F(NatsBridge, PackagesABoardSendsAgainAreStoredAgain) {
  NatsServer server(address(60), "again");
  ASSERT_TRUE(server.start());
  for (int run = 0; run < 2; ++run) {
    auto board = startBoard(address(61), smallPackages + std::string("--fast --count 100"));
    auto bridge = startBridge(server.url(), address(61) + "=again", "--status-every 0");
    ASSERT_TRUE(awaitFigure(*bridge, "again", "acknowledged ", 4)) << bridge->outputs();
    EXPECT_EQ(board->wait(patience), 0) << board->outputs();
    bridge->signal(SIGINT);
    EXPECT_EQ(bridge->wait(patience), 0) << bridge->outputs();
    EXPECT_EQ(figure(bridge->out(), "again", "duplicates "), 0) << bridge->outputs();
  }
  std::vector<std::uint64_t> expected(100);
  std::iota(expected.begin(), expected.end(), 1);
  expected.insert(expected.end(), expected.begin(), expected.end());
  EXPECT_EQ(storedSince(server.url(), "varnel.again", 0), expected);
}

// Deleted under a running bridge, the stream is made again and what the
// boards send from then on is stored, none of it dropped.
TEST_F(NatsBridge, AStreamDeletedUnderTheBridgeIsMadeAgain) {
  NatsServer server(address(80), "deleted");
  ASSERT_TRUE(server.start());
  auto board = startBoard(address(81), smallPackages + std::string("--rate 200 --count 600"));
  auto bridge = startBridge(server.url(), address(81) + "=deleted", "--package-counter 10");
  ASSERT_TRUE(awaitFigure(*bridge, "deleted", "acknowledged ", 2)) << bridge->outputs();
  natsConnection* connection = nullptr;
  jsCtx* js = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&connection, server.url().c_str()), NATS_OK);
  natsConnection_JetStream(&js, connection, nullptr);
  EXPECT_EQ(js_DeleteStream(js, "varnel", nullptr, nullptr), NATS_OK);
  jsCtx_Destroy(js);
  natsConnection_Destroy(connection);
  EXPECT_TRUE(
      bridge->waitForOutput("the stream varnel is gone (deleted?): made the stream varnel", patience, true))
      << bridge->outputs();
  EXPECT_EQ(board->wait(patience), 0) << board->outputs();
  bridge->signal(SIGINT);
  EXPECT_EQ(bridge->wait(patience), 0) << bridge->outputs();
  // From some package on, everything up to the last is in the new stream.
  const std::vector<std::uint64_t> stored = storedSince(server.url(), "varnel.deleted", 0);
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(stored.back(), 600u);
  EXPECT_EQ(missingIn(stored, stored.front()), 0u);
}

TEST_F(NatsBridge, WhatTheBridgeDropsWhileNatsIsAwayIsTheGapAConsumerSees) {
  NatsServer server(address(20), "outage");
  ASSERT_TRUE(server.start());
  auto board = startBoard(address(21), smallPackages + std::string("--rate 400 --count 2400"));
  // Room for about seven hand-overs of 20 packages.
  auto bridge = startBridge(server.url(), address(21) + "=outage",
                            "--package-counter 20 --buffer 20000 --ack-wait 1000");
  ASSERT_TRUE(awaitFigure(*bridge, "outage", "acknowledged ", 5)) << bridge->outputs();
  server.stop();
  ASSERT_TRUE(awaitFigure(*bridge, "outage", "dropped ", 10)) << bridge->outputs();
  // Back with a smaller largest message than the hand-overs waiting were
  // cut for (20 packages of 144 bytes): they are cut again, not dropped.
  ASSERT_TRUE(server.start({}, server.configuration("max_payload: 2048")));
  ASSERT_TRUE(bridge->waitForOutput("connected to NATS again", patience, true)) << bridge->outputs();
  ASSERT_EQ(board->wait(patience), 0) << board->outputs();

  ChildProcess fed(boardPath, {"--from-nats", server.url(), "varnel.outage", "--bind", address(22)});
  Parser parser(address(22), 25, 250, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, fed));
  std::vector<std::uint64_t> numbers;
  ASSERT_TRUE(collectUntil(parser, numbers, 2400)) << fed.outputs() << bridge->outputs();
  bridge->signal(SIGINT);
  // Something was dropped: the bridge says so in its exit status.
  EXPECT_EQ(bridge->wait(patience), 3) << bridge->outputs();
  const std::string out = bridge->out();
  EXPECT_GE(figure(out, "outage", "dropped "), 10);
  EXPECT_EQ(static_cast<long long>(missingIn(numbers, 1)), figure(out, "outage", "dropped [0-9]+ \\("))
      << out;
  EXPECT_EQ(figure(out, "outage", "pending "), 0);
  // Cut again: more messages than hand-overs of 20, none dropped as too large.
  EXPECT_GT(figure(out, "outage", "hand-overs "), 2400 / 20) << out;
  EXPECT_EQ(figure(out, "outage", "too large "), -1) << out;
}

// A client that stops reconnecting (the server now refuses its password)
// closes its connection by itself: the bridge says so and ends, and
// nothing of the connection is used after the client released it.
TEST_F(NatsBridge, ABridgeTheServerRefusesAfterARestartSaysSoAndStops) {
  NatsServer server(address(70), "refused");
  ASSERT_TRUE(server.start({}, {"--user", "u", "--pass", "first"}));
  auto board = startBoard(address(71), smallPackages + std::string("--rate 100"));
  const std::string url = "nats://u:first@" + server.url().substr(7);
  auto bridge = startBridge(url, address(71) + "=refused", "--package-counter 5");
  ASSERT_TRUE(awaitFigure(*bridge, "refused", "acknowledged ", 1)) << bridge->outputs();
  server.stop();
  ASSERT_TRUE(server.start({}, {"--user", "u", "--pass", "second"}));
  EXPECT_EQ(bridge->wait(patience), 1) << bridge->outputs();
  EXPECT_NE(bridge->err().find("the NATS client gave up its connection (Authorization Violation)"),
            std::string::npos)
      << bridge->outputs();
  board->signal(SIGTERM);
  EXPECT_EQ(board->wait(patience), 0) << board->outputs();
}

TEST_F(NatsBridge, AClusterOfThreeLosesAServerAndTheConsumersLoseNothing) {
  std::vector<std::unique_ptr<NatsServer>> servers;
  for (unsigned i = 0; i < 3; ++i)
    servers.push_back(std::make_unique<NatsServer>(address(30 + i), "node" + std::to_string(i)));
  std::vector<std::string> routes;
  for (const auto& s : servers) routes.push_back(s->routeUrl());
  for (const auto& s : servers) ASSERT_TRUE(s->start(routes));
  // A stream of three replicas can be placed once every server knows the
  // cluster's leader (it says so in its log, "Self is new ..." for itself).
  ASSERT_TRUE(support::eventually(
      [&] {
        bool all = true;
        for (const auto& s : servers) {
          s->process().pump(1ms);
          all = all && s->process().err().find("metadata leader") != std::string::npos;
        }
        return all;
      },
      patience));
  const std::string urls = servers[0]->url() + "," + servers[1]->url() + "," + servers[2]->url();
  constexpr std::uint64_t count = 1800;
  auto board = startBoard(address(34), smallPackages + std::string("--rate 300 --count 1800"));
  auto bridge = startBridge(urls, address(34) + "=cluster", "--replicas 3 --package-counter 10");
  ChildProcess fed(boardPath, {"--from-nats", urls, "varnel.cluster", "--bind", address(35)});
  Parser parser(address(35), 25, 250, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, fed));
  std::vector<std::uint64_t> numbers;
  ASSERT_TRUE(collectUntil(parser, numbers, 200)) << fed.outputs() << bridge->outputs();
  servers[0]->stop(SIGKILL);
  ASSERT_TRUE(collectUntil(parser, numbers, count, 90s)) << fed.outputs() << bridge->outputs();
  EXPECT_EQ(missingIn(numbers, 1), 0u);
  EXPECT_EQ(numbers.size(), count);
  bridge->signal(SIGINT);
  EXPECT_EQ(bridge->wait(patience), 0) << bridge->outputs();
  EXPECT_EQ(figure(bridge->out(), "cluster", "dropped "), 0) << bridge->outputs();
}

TEST_F(NatsBridge, BoardsSideBySideAndHandOversOrPackagesLargerThanAMessage) {
  NatsServer server(address(50), "large");
  ASSERT_TRUE(server.start({}, server.configuration("max_payload: 65536")));
  // 100 packages of 16 KiB per hand-over: more than the server's largest
  // message (64 KiB here), so each goes as messages of whole packages.
  auto large =
      startBoard(address(51), "--channels 4 --samples 1016 --stream-length 0 --quiet --fast --count 300");
  auto small = startBoard(address(52), smallPackages + std::string("--fast --count 300"));
  // Packages of 64 KiB, each larger than a message on its own.
  auto huge = startBoard(address(55), "--channels 1 --samples 16352 --quiet --fast --count 3");
  auto bridge = startBridge(
      server.url(), address(51) + "=large --board " + address(52) + "=small --board " + address(55) + "=huge",
      "--package-counter 100");
  ChildProcess fedLarge(boardPath, {"--from-nats", server.url(), "varnel.large", "--bind", address(53)});
  ChildProcess fedSmall(boardPath, {"--from-nats", server.url(), "varnel.small", "--bind", address(54)});
  Parser largeParser(address(53), 25, 250, toolTcpTimeout);
  Parser smallParser(address(54), 25, 250, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*largeParser, fedLarge));
  ASSERT_TRUE(connectToBoard(*smallParser, fedSmall));
  ASSERT_TRUE(largeParser.collector.waitForPackages(300, patience))
      << fedLarge.outputs() << bridge->outputs();
  ASSERT_TRUE(smallParser.collector.waitForPackages(300, patience)) << fedSmall.outputs();

  boardsim::GeneratorSettings largeShape;
  largeShape.channels = 4;
  largeShape.samplesPerChannel = 1016;
  for (const auto& [parser, shape] :
       {std::pair{&largeParser, largeShape}, std::pair{&smallParser, smallShape()}}) {
    const boardsim::PackageGenerator generator(shape);
    const auto packages = parser->collector.takePackages();
    ASSERT_EQ(packages.size(), 300u);
    for (std::size_t i = 0; i < packages.size(); ++i) {
      SCOPED_TRACE(i);
      expectPackageEquals(*packages[i], generator.package(i + 1));
    }
  }
  // Never published, they hold nothing back: dropped and counted.
  ASSERT_TRUE(awaitFigure(*bridge, "huge", "too large ", 3)) << bridge->outputs();
  bridge->signal(SIGINT);
  EXPECT_EQ(bridge->wait(patience), 3) << bridge->outputs();
  EXPECT_EQ(figure(bridge->out(), "huge", "pending "), 0) << bridge->outputs();
  EXPECT_NE(bridge->err().find("package 1 of varnel.huge is 65536 bytes, more than a message"),
            std::string::npos)
      << bridge->outputs();
  // Every hand-over of 100 large packages went as several messages.
  EXPECT_GE(figure(bridge->out(), "large", "hand-overs "), 6) << bridge->outputs();
  EXPECT_EQ(figure(bridge->out(), "large", "acknowledged "), figure(bridge->out(), "large", "hand-overs "));
  EXPECT_EQ(figure(bridge->out(), "small", "packages "), 300);
}

// A stream and a message on varnel.junk that the test makes itself.
void publishToStream(const std::string& url, const std::string& subject,
                     const std::vector<std::uint8_t>& payload,
                     const std::vector<std::pair<std::string, std::string>>& headers) {
  natsConnection* connection = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&connection, url.c_str()), NATS_OK);
  jsCtx* js = nullptr;
  ASSERT_EQ(natsConnection_JetStream(&js, connection, nullptr), NATS_OK);
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  const char* subjects[] = {"varnel.>"};
  config.Name = "varnel";
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  jsStreamInfo* info = nullptr;
  if (js_GetStreamInfo(&info, js, "varnel", nullptr, nullptr) != NATS_OK) {
    ASSERT_EQ(js_AddStream(&info, js, &config, nullptr, nullptr), NATS_OK);
  }
  jsStreamInfo_Destroy(info);
  natsMsg* msg = nullptr;
  ASSERT_EQ(natsMsg_Create(&msg, subject.c_str(), nullptr, reinterpret_cast<const char*>(payload.data()),
                           static_cast<int>(payload.size())),
            NATS_OK);
  for (const auto& [name, value] : headers) natsMsgHeader_Set(msg, name.c_str(), value.c_str());
  jsPubAck* ack = nullptr;
  EXPECT_EQ(js_PublishMsg(&ack, js, msg, nullptr, nullptr), NATS_OK);
  jsPubAck_Destroy(ack);
  natsMsg_Destroy(msg);
  jsCtx_Destroy(js);
  natsConnection_Destroy(connection);
}

TEST_F(NatsBridge, WrongInputIsAClearErrorAndNothingCrashes) {
  // Nothing listens at this NATS URL.
  ChildProcess unreachable(
      bridgePath, {"--nats", "nats://" + address(40) + ":" + std::to_string(natstest::freePort(address(40))),
                   "--board", address(41)});
  EXPECT_EQ(unreachable.wait(patience), 1) << unreachable.outputs();
  EXPECT_NE(unreachable.err().find("cannot connect to NATS at nats://" + address(40)), std::string::npos)
      << unreachable.outputs();

  NatsServer server(address(42), "wrong");
  ASSERT_TRUE(server.start());
  // No stream holds the subject.
  ChildProcess noStream(boardPath, {"--from-nats", server.url(), "varnel.none", "--bind", address(43)});
  EXPECT_EQ(noStream.wait(patience), 1) << noStream.outputs();
  EXPECT_NE(noStream.err().find("no JetStream stream holds the subject varnel.none"), std::string::npos)
      << noStream.outputs();
  ChildProcess monitor(monitorPath, {server.url() + "/varnel.none"});
  EXPECT_EQ(monitor.wait(patience), 1) << monitor.outputs();
  EXPECT_NE(monitor.err().find("no JetStream stream holds the subject varnel.none"), std::string::npos)
      << monitor.outputs();
  // A wildcard would mix the byte streams of several boards: a wrong
  // command line.
  ChildProcess wildcard(monitorPath, {server.url() + "/varnel.*"});
  EXPECT_EQ(wildcard.wait(patience), 2) << wildcard.outputs();
  EXPECT_NE(wildcard.err().find("'varnel.*' is not the subject of one board"), std::string::npos)
      << wildcard.outputs();

  // A message that is not a hand-over, one that is, one whose package every
  // client would refuse, and one that is again: the second and the last
  // arrive, the others are skipped with a line that says why (a client
  // would have dropped its connection at the refused package).
  const std::string junk = "not a board";
  publishToStream(server.url(), "varnel.junk", std::vector<std::uint8_t>(junk.begin(), junk.end()), {});
  std::vector<boardsim::PackageSpec> packages = boardsim::numberedPackages(7, 3);
  packages[1].protocolVersion = 2;
  for (const boardsim::PackageSpec& p : packages) {
    const std::string number = std::to_string(p.headerValue);
    publishToStream(
        server.url(), "varnel.junk", boardsim::encode(p),
        {{handover::countHeader, "1"}, {handover::firstHeader, number}, {handover::lastHeader, number}});
  }
  ChildProcess fed(boardPath, {"--from-nats", server.url(), "varnel.junk", "--bind", address(44)});
  Parser parser(address(44), 1, 250, toolTcpTimeout);
  ASSERT_TRUE(connectToBoard(*parser, fed));
  ASSERT_TRUE(parser.collector.waitForPackages(2, patience)) << fed.outputs();
  const auto received = parser.collector.takePackages();
  EXPECT_EQ(received.front()->getMetaData().headerValue, 7u);
  EXPECT_EQ(received.back()->getMetaData().headerValue, 9u);
  EXPECT_TRUE(fed.waitForOutput("message 1 of varnel.junk is not a hand-over", patience, true))
      << fed.outputs();
  EXPECT_TRUE(fed.waitForOutput(
      "message 3 of varnel.junk is not a hand-over (package 1 has protocol version 2, not 1)", patience,
      true))
      << fed.outputs();
  EXPECT_NE(parser.varnel->getState(), mirt::ConnectionState::Error);
  fed.signal(SIGTERM);
  EXPECT_EQ(fed.wait(patience), 0) << fed.outputs();

  // What the library refuses beyond the header (a board too old) fails the
  // monitor's connection; connected again (--reconnect) it goes on behind
  // that package instead of reading the subject from its start again.
  const auto publishOne = [&](const boardsim::PackageSpec& p) {
    const std::string number = std::to_string(p.headerValue);
    publishToStream(
        server.url(), "varnel.old", boardsim::encode(p),
        {{handover::countHeader, "1"}, {handover::firstHeader, number}, {handover::lastHeader, number}});
  };
  std::vector<boardsim::PackageSpec> later = boardsim::numberedPackages(20, 3);
  later[0].meta.dspVersion = 3000;  // DSP 0, below the least the library takes
  publishOne(later[0]);
  ChildProcess watcher(monitorPath, {server.url() + "/varnel.old", "--reconnect", "--count", "2", "--quiet"});
  ASSERT_TRUE(watcher.waitForOutput("connecting again in", patience, true)) << watcher.outputs();
  publishOne(later[1]);
  publishOne(later[2]);
  EXPECT_EQ(watcher.wait(patience), 0) << watcher.outputs();
  EXPECT_NE(watcher.out().find("packages: 2"), std::string::npos) << watcher.outputs();

  // SIGTERM ends a monitor through NATS with its summary, as any other
  // (the NATS client's threads must not take the signal).
  ChildProcess stopped(monitorPath, {server.url() + "/varnel.junk"});
  ASSERT_TRUE(stopped.waitForOutput("connected", patience)) << stopped.outputs();
  stopped.signal(SIGTERM);
  EXPECT_EQ(stopped.wait(patience), 0) << stopped.outputs();
  EXPECT_NE(stopped.out().find("stopped: terminated (SIGTERM)"), std::string::npos) << stopped.outputs();
}

// What the NATS-fed board refuses to serve, and the cutting of the board's
// bytes at every split of the reads: faults no process test above
// provokes.
TEST(NatsText, AMessageIsAHandOverOnlyWhenItsHeadersDescribeItsPackages) {
  const boardsim::Bytes two = boardsim::encodeAll(boardsim::numberedPackages(7, 2));
  const std::size_t size = two.size() / 2;
  struct Row {
    const char* what;
    std::vector<std::pair<std::string, std::string>> headers;
    std::size_t bytes;
    bool accepted;
    // Changes the second package, of what every client would refuse.
    std::function<void(boardsim::PackageSpec&)> refused = {};
  };
  const std::vector<std::pair<std::string, std::string>> both{
      {"Varnel-Count", "2"}, {"Varnel-First", "7"}, {"Varnel-Last", "8"}};
  const std::vector<Row> rows{
      {"both packages",
       {{"Varnel-Count", "2"}, {"Varnel-First", "7"}, {"Varnel-Last", "8"}},
       two.size(),
       true},
      {"a count that is not the packages'",
       {{"Varnel-Count", "3"}, {"Varnel-First", "7"}, {"Varnel-Last", "8"}},
       two.size(),
       false},
      {"a last number of another package",
       {{"Varnel-Count", "2"}, {"Varnel-First", "7"}, {"Varnel-Last", "9"}},
       two.size(),
       false},
      {"a package cut short",
       {{"Varnel-Count", "2"}, {"Varnel-First", "7"}, {"Varnel-Last", "8"}},
       two.size() - 1,
       false},
      {"a header cut short",
       {{"Varnel-Count", "2"}, {"Varnel-First", "7"}, {"Varnel-Last", "8"}},
       size + 20,
       false},
      {"a count that is no number",
       {{"Varnel-Count", "2x"}, {"Varnel-First", "7"}, {"Varnel-Last", "8"}},
       two.size(),
       false},
      {"no count", {{"Varnel-First", "7"}, {"Varnel-Last", "8"}}, two.size(), false},
      {"another protocol version", both, two.size(), false,
       [](boardsim::PackageSpec& p) { p.protocolVersion = 2; }},
      {"nine channels", both, two.size(), false, [](boardsim::PackageSpec& p) { p.channelCount = 9; }},
      {"a sample area larger than a package carries", both, two.size(), false,
       [](boardsim::PackageSpec& p) { p.dataSize = 65536 - 128 + 1; }},
  };
  for (const Row& row : rows) {
    std::vector<boardsim::PackageSpec> specs = boardsim::numberedPackages(7, 2);
    if (row.refused) row.refused(specs[1]);
    const boardsim::Bytes payload = boardsim::encodeAll(specs);
    ASSERT_EQ(payload.size(), two.size()) << row.what;
    std::string why;
    const auto described = handover::check(
        [&](const char* name) -> std::optional<std::string> {
          for (const auto& [key, value] : row.headers) {
            if (key == name) return value;
          }
          return std::nullopt;
        },
        payload.data(), row.bytes, why);
    EXPECT_EQ(described.has_value(), row.accepted) << row.what << ": " << why;
    if (!row.accepted) {
      EXPECT_FALSE(why.empty()) << row.what;
    }
  }

  for (std::size_t split = 1; split < two.size(); ++split) {
    handover::PackageCutter cutter;
    cutter.feed(two.data(), split);
    cutter.feed(two.data() + split, two.size() - split);
    ASSERT_EQ(cutter.complete(), 2u) << split;
    EXPECT_EQ(cutter.number(1), 8u);
    std::vector<std::uint8_t> out;
    cutter.take(1, out);
    EXPECT_EQ(out, std::vector<std::uint8_t>(two.begin(), two.begin() + static_cast<std::ptrdiff_t>(size)));
    EXPECT_EQ(cutter.number(0), 8u) << split;
  }
  handover::PackageCutter refused;
  boardsim::PackageSpec spec = boardsim::numberedPackages(1, 1).front();
  spec.packageSize = 20;
  const boardsim::Bytes header = boardsim::encodeHeader(spec);
  refused.feed(header.data(), header.size());
  EXPECT_TRUE(refused.broken());
  EXPECT_EQ(refused.complete(), 0u);
}

// --since and the stream's subjects, which no process test above reaches.
TEST(NatsText, TimesAndSubjects) {
  EXPECT_EQ(natslink::parseTime("1970-01-01T00:00:01.5Z"), 1500000000);
  EXPECT_EQ(natslink::parseTime("2024-05-01T12:00:00Z"), 1714564800000000000);
  EXPECT_EQ(natslink::parseTime("1714564800.25"), 1714564800250000000);
  EXPECT_EQ(natslink::parseTime("2024-02-29T00:00:00Z"), 1709164800000000000);
  for (const char* wrong :
       {"", "2024-05-01T12:00:00", "2024-13-01T12:00:00Z", "2024-05-01T12:00:00+02:00", "-5", "soon",
        // Beyond 64-bit nanoseconds, not a number, not a day.
        "9999999999", "2300-01-01T00:00:00Z", "2024-05-01T12:00:nanZ", "2023-02-29T00:00:00Z"}) {
    EXPECT_FALSE(natslink::parseTime(wrong).has_value()) << wrong;
  }
  EXPECT_TRUE(natslink::subjectMatches("varnel.>", "varnel.hall1"));
  EXPECT_TRUE(natslink::subjectMatches("varnel.*", "varnel.hall1"));
  EXPECT_TRUE(natslink::subjectMatches("varnel.hall1", "varnel.hall1"));
  EXPECT_FALSE(natslink::subjectMatches("varnel.*", "varnel.hall1.x"));
  EXPECT_FALSE(natslink::subjectMatches("varnel.>", "varnel"));
  EXPECT_FALSE(natslink::subjectMatches("other.>", "varnel.hall1"));
  EXPECT_FALSE(natslink::subjectMatches("varnel.hall", "varnel.hall1"));
  EXPECT_TRUE(natslink::isOneSubject("varnel.hall1"));
  for (const char* notOne : {"", "varnel.*", "varnel.>", "varnel..x", "varnel.", "varnel.hall 1"}) {
    EXPECT_FALSE(natslink::isOneSubject(notOne)) << notOne;
  }
}

}  // namespace
