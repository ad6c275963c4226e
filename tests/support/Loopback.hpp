#pragma once

// The loopback addresses of the tests. The board port is fixed, so every
// test that runs a board binds an address of its own, and CTest can run any
// two tests at the same time. Each suite has a block of its own,
// 127.0.<block>.1 to 127.0.<block>.254; within a block, each test takes
// numbers no other test of the block takes.
//
// Blocks used outside the C++ tests: 127.0.4 and 127.0.7 the Python tests,
// 127.0.6 varnel-bench, 127.0.9 scripts/check-packages, 127.0.12 the Python
// throughput benchmark; 10.250 the network namespaces of the link-cut test.

#include <string>

namespace support {

enum class Block : unsigned {
  EndToEnd = 0,    // the parser end to end, the simulated board's own tests
  C = 1,           // the C interface (the shim hands these out to C)
  Tools = 2,       // the tools started as processes
  ManyBoards = 3,  // 2 to 33: the many-boards test; 40 on: more fault slots
  Faults = 5,      // the fault matrix (see faults::faultAddress)
  Recording = 8,   // the monitor's HDF5 recording
  Capture = 13,    // captures and their replay (tests/data/make_captures.sh: 250)
  Nats = 14,       // NATS servers, their clients and the boards they feed
};

inline std::string loopback(Block block, unsigned host) {
  return "127.0." + std::to_string(static_cast<unsigned>(block)) + "." + std::to_string(host);
}

}  // namespace support
