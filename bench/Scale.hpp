#pragma once

#include "Report.hpp"
#include "Settings.hpp"

namespace bench {

/// The aggregate rate of 1, 8 and 32 parsers on as many streaming boards, and
/// the resident memory per idle parser from fresh probe processes; prints a
/// table and adds the figures to `report`.
void runScale(const Settings& s, Report& report);

/// The probe process (this program started with --rss-probe or
/// --rss-probe-threads): silent boards, then `count` parsers (or bare
/// threads), and one line "rssBeforeKiB rssAfterKiB" on standard output.
int rssProbeMain(int count, bool bareThreads);

}  // namespace bench
