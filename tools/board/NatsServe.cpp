#include "board/NatsServe.hpp"

#if !defined(_WIN32)
#include <signal.h>
#endif

#include <atomic>
#include <iostream>
#include <string>
#include <string_view>

#include "common/CommandLine.hpp"
#include "common/HostName.hpp"
#include "common/Wording.hpp"
#include "nats/NatsLink.hpp"
#include "nats/SubjectServer.hpp"

namespace boardnats {

namespace {

constexpr const char* usageText =
    R"(usage: varnel-board --from-nats URL SUBJECT [--new | --since TIME] [options]

Serves the hand-overs that varnel-bridge publishes to the JetStream subject
SUBJECT (varnel.NAME) of the NATS server(s) at URL (nats://HOST[:PORT],
several separated by commas) as a board would, on ADDRESS port 63751: every
client gets the packages, exactly as the board sent them, in the stream's
order. Any number of clients at once, each reading the stream on its own,
as fast as it reads. A NATS server that goes away is followed to another
of the cluster, or waited for; the clients stay connected.

  --new                    only hand-overs published from now on
  --since TIME             hand-overs published from TIME on: UTC as
                           2024-05-01T12:00:00Z (fractions allowed) or
                           seconds since 1970
                           (default: from the start of the stream)
  --bind ADDRESS           address to listen on (default 127.0.0.1)
  --clients N              stop after N clients have been served
  --duration SECONDS       stop after SECONDS
  --quiet                  no lines on standard error but errors
  --help                   this text

A message on the subject that is not a hand-over is skipped, with a line on
standard error.

Exit status: 0 after a stop (signal, --clients, --duration); 1 when NATS
cannot be reached, no stream holds SUBJECT or the address cannot be bound;
2 for a wrong command line.
)";

struct Options {
  natslink::SubjectSettings settings;
  std::string since;
  bool quiet = false;
  bool help = false;
};

Options parse(int argc, char** argv) {
  Options o;
  natslink::SubjectSettings& s = o.settings;
  bool newOnly = false;
  cli::Arguments args(argc, argv);
  while (args.next()) {
    const std::string option(args.name());
    if (args.is("--help")) {
      o.help = args.flag();
    } else if (args.is("--from-nats")) {
      s.url = args.value();
      if (!args.next() || args.isOption()) throw cli::UsageError("--from-nats needs a URL and a SUBJECT");
      s.subject = std::string(args.current());
    } else if (args.is("--new")) {
      newOnly = args.flag();
    } else if (args.is("--since")) {
      o.since = args.value();
    } else if (args.is("--bind")) {
      s.address = args.value();
    } else if (args.is("--clients")) {
      s.clients = cli::toUnsigned(args.value(), option, 1, UINT64_MAX);
    } else if (args.is("--duration")) {
      s.duration = std::chrono::milliseconds(
          static_cast<std::int64_t>(cli::toNumber(args.value(), option, 0.001, 1e9) * 1000.0 + 0.5));
    } else if (args.is("--quiet")) {
      o.quiet = args.flag();
    } else if (args.isOption()) {
      throw cli::UsageError(option + " does not go with --from-nats");
    } else {
      throw cli::UsageError("unexpected argument '" + std::string(args.current()) + "'");
    }
  }
  if (o.help) return o;
  if (!natslink::isNatsUrl(s.url)) {
    throw cli::UsageError("--from-nats: '" + s.url + "' is not a NATS URL (nats://HOST[:PORT])");
  }
  if (!natslink::isOneSubject(s.subject)) {
    throw cli::UsageError("--from-nats: '" + s.subject + "' is not the subject of one board (varnel.NAME)");
  }
  if (newOnly && !o.since.empty()) throw cli::UsageError("--new and --since exclude each other");
  if (newOnly) s.start = natslink::StartAt::New;
  if (!o.since.empty()) {
    const auto time = natslink::parseTime(o.since);
    if (!time) {
      throw cli::UsageError("--since: '" + o.since +
                            "' is neither a UTC time (2024-05-01T12:00:00Z) nor seconds since 1970");
    }
    s.start = natslink::StartAt::Time;
    s.startTimeNs = *time;
  }
  s.address = cli::resolveHost(s.address).front();
  return o;
}

std::atomic<natslink::SubjectServer*> running{nullptr};
std::atomic<bool> stopAsked{false};

extern "C" void onFromNatsStop(int) {
  stopAsked.store(true);
  if (natslink::SubjectServer* server = running.load()) server->requestStop();
}

void installSignalHandlers() {
#if !defined(_WIN32)
  struct sigaction action {};
  action.sa_handler = onFromNatsStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
#endif
}

std::string startText(const Options& o) {
  switch (o.settings.start) {
    case natslink::StartAt::First:
      return "from the start of the stream";
    case natslink::StartAt::New:
      return "new hand-overs only";
    case natslink::StartAt::Time:
      break;
  }
  return "from " + o.since;
}

int serve(const Options& o) {
  const bool quiet = o.quiet;
  const std::string described =
      "serving " + o.settings.subject + " of " + o.settings.url + ", " + startText(o) + ", to any client";
  auto report = [&](const natslink::SubjectEvent& e) {
    using Kind = natslink::SubjectEvent::Kind;
    if (e.kind == Kind::Skipped) {
      std::cerr << "varnel-board: client " << e.client << ": " << e.how << std::endl;
      return;
    }
    if (quiet) return;
    switch (e.kind) {
      case Kind::Listening:
        std::cerr << "varnel-board: listening on " << e.peer << ": " << described << std::endl;
        break;
      case Kind::Connected:
        std::cerr << "varnel-board: client " << e.client << " connected from " << e.peer << std::endl;
        break;
      case Kind::Disconnected:
        std::cerr << "varnel-board: client " << e.client << " (" << e.peer << ") disconnected after "
                  << cli::counted(e.handOvers, "hand-over") << ", " << cli::counted(e.bytes, "byte") << ": "
                  << e.how << std::endl;
        break;
      case Kind::NatsLost:
        std::cerr << "varnel-board: the connection to NATS is lost; reconnecting" << std::endl;
        break;
      case Kind::NatsBack:
        std::cerr << "varnel-board: connected to NATS again at " << e.peer << std::endl;
        break;
      case Kind::NatsClosed:
        std::cerr << "varnel-board: the NATS client gave up its connection (" << e.how << "); stopping"
                  << std::endl;
        break;
      case Kind::Skipped:
        break;
    }
  };
  natslink::SubjectServer server(o.settings, report);
  running.store(&server);
  if (stopAsked.load()) server.requestStop();
  const natslink::SubjectStop reason = server.run();
  running.store(nullptr);
  if (!quiet) {
    const char* why = reason == natslink::SubjectStop::Duration  ? "duration over"
                      : reason == natslink::SubjectStop::Clients ? "clients served"
                                                                 : "stopped";
    std::cerr << "varnel-board: " << why << "; " << cli::counted(server.handOversSent(), "hand-over") << ", "
              << cli::counted(server.bytesSent(), "byte") << " to "
              << cli::counted(server.clientsServed(), "client") << std::endl;
  }
  return reason == natslink::SubjectStop::NatsClosed ? 1 : 0;
}

}  // namespace

std::optional<int> serveIfAsked(int argc, char** argv) {
  bool asked = false;
  for (int i = 1; i < argc; ++i) asked = asked || std::string_view(argv[i]).substr(0, 11) == "--from-nats";
  if (!asked) return std::nullopt;
  const auto start = cli::readCommandLine<Options>("varnel-board", usageText, argc, argv, parse);
  if (const int* status = std::get_if<int>(&start)) return *status;
  installSignalHandlers();
  int status = 1;
  try {
    status = serve(std::get<Options>(start));
  } catch (const std::invalid_argument& e) {
    status = cli::usageFailure("varnel-board", e.what());
  } catch (const std::exception& e) {
    std::cerr << "varnel-board: " << e.what() << std::endl;
  }
  natslink::closeLibrary();
  return status;
}

}  // namespace boardnats
