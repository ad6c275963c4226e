#include <varnel/varnel.hpp>

#include <cstdio>

int main() {
  const mirt::VersionInfo v = mirt::getVersionInfo();
  std::printf("Varnel %d.%d.%d\n", v.major, v.minor, v.patch);
  return (v.major == 1 && v.minor == 1 && v.patch == 0) ? 0 : 1;
}
