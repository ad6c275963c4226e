#pragma once

// varnel-board's command line: the board it simulates, or the capture it
// replays, and how it serves them.

#include <cstddef>
#include <optional>
#include <string>

#include "boardsim/BoardServer.hpp"
#include "capture/StreamReassembler.hpp"

namespace board {

struct BoardOptions {
  boardsim::ServerSettings server;
  boardsim::GeneratorSettings generator;
  bool quiet = false;
  bool help = false;
  // --replay
  std::string replay;
  std::size_t flow = 0;  // 1 on; 0: not given
  capture::HolePolicy holes = capture::HolePolicy::Stop;
  std::optional<double> speed;
  bool loop = false;
  std::string writeStream;
};

/// The options of the command line, checked against each other, with
/// --bind's host name resolved. Throws cli::UsageError for a wrong command
/// line.
BoardOptions parseBoardOptions(int argc, char** argv);

}  // namespace board
