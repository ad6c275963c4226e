#include <varnel/varnel.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

// Prints the version; with a board's address, also receives 50 packages
// from it (retrying the connect while the board starts, at most 10 s).
int main(int argc, char** argv) {
  const mirt::VersionInfo v = mirt::getVersionInfo();
  std::printf("Varnel %d.%d.%d\n", v.major, v.minor, v.patch);
  if (v.major != 1 || v.minor != 1 || v.patch != 0) return 1;
  if (argc < 2) return 0;

  std::atomic<unsigned> packages{0};
  auto parser = mirt::createVarnel(argv[1], [&](mirt::OstraDataStream* stream) {
    while (auto package = stream->pop()) packages.fetch_add(1);
  });
  parser->setTcpTimeout(1);
  for (int attempt = 0;; ++attempt) {
    try {
      parser->connect();
      break;
    } catch (const mirt::VarnelException& e) {
      if (attempt == 20) {
        std::printf("connect failed: %s\n", e.what());
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the board may still be starting
    }
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (packages.load() < 50 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  parser->disconnect();
  std::printf("%u packages\n", packages.load());
  return packages.load() >= 50 ? 0 : 1;
}
