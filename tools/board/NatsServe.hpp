#pragma once

// varnel-board --from-nats URL SUBJECT: a board fed by a JetStream subject
// that varnel-bridge fills (see nats/SubjectServer.hpp).

#include <optional>

namespace boardnats {

/// When the command line asks for --from-nats: reads the rest of it, serves
/// the subject until a stop and returns the exit status (2 for a wrong
/// command line, also in a build without NATS). Nothing for any other
/// command line.
std::optional<int> serveIfAsked(int argc, char** argv);

}  // namespace boardnats
