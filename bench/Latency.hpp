#pragma once

#include "Report.hpp"
#include "Settings.hpp"

namespace bench {

/// The time from a paced board's send to the library's callback (median,
/// p99, maximum) beside a blocking receiver, an epoll receiver and a socket
/// ping-pong; prints a table and adds the figures to `report`.
void runLatency(const Settings& s, Report& report);

}  // namespace bench
