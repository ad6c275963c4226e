#pragma once

#include "Report.hpp"
#include "Settings.hpp"

namespace bench {

/// Packages/s, MB/s, CPU time and page faults per package of the raw, the
/// 2-read and the library receiver, per package size and channel count;
/// prints a table and adds the figures to `report`.
void runThroughput(const Settings& s, Report& report);

}  // namespace bench
