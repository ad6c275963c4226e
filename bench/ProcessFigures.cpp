#include "ProcessFigures.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <fstream>

#include <fmt/format.h>

namespace bench {

namespace {

double cpuSeconds(const rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The machine's CPU time so far, in clock ticks, from /proc/stat's first
// line: user nice system idle iowait irq softirq steal.
std::array<unsigned long long, 8> machineCpuTicks() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  std::array<unsigned long long, 8> ticks{};
  in >> cpu;
  for (auto& t : ticks) in >> t;
  return ticks;
}

}  // namespace

Usage usageNow() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  Usage u;
  u.cpuSeconds = cpuSeconds(ru);
  u.minorFaults = ru.ru_minflt;
  return u;
}

long vmRssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  double one = 0, five = 0, fifteen = 0;
  in >> one >> five >> fifteen;
  return fmt::format("{:.2f} {:.2f} {:.2f}", one, five, fifteen);
}

double machineCpuSeconds() {
  const auto t = machineCpuTicks();
  return static_cast<double>(t[0] + t[1] + t[2]) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double stealSeconds() {
  return static_cast<double>(machineCpuTicks()[7]) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ownCpuSeconds() {
  double total = 0;
  for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage ru{};
    getrusage(who, &ru);
    total += cpuSeconds(ru);
  }
  return total;
}

std::size_t defaultThreadStackBytes() {
  pthread_attr_t attr;
  std::size_t size = 0;
  if (pthread_getattr_default_np(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  return size;
}

}  // namespace bench
