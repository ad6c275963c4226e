#pragma once

// Figures of this process and of the machine, read from getrusage and /proc.

#include <cstddef>
#include <string>

namespace bench {

struct Usage {
  double cpuSeconds = 0;  // user + system, all threads of the process
  long minorFaults = 0;
};

Usage usageNow();

/// Resident memory of this process (VmRSS); -1 if unknown.
long vmRssKiB();

/// The load average over 1, 5 and 15 minutes, as "0.52 0.61 0.70".
std::string loadAverage();

/// CPU seconds spent by the whole machine in user and system mode, and by
/// this process with its waited-for descendants; their difference over a
/// run is what other processes took from it (approximately: interrupt time
/// is left out on both sides).
double machineCpuSeconds();
double ownCpuSeconds();
/// CPU seconds the hypervisor gave to others while this machine's CPUs had
/// work (steal time; 0 on bare metal). On a shared host it makes figures
/// of the same run move by a third and more.
double stealSeconds();

std::size_t defaultThreadStackBytes();

}  // namespace bench
