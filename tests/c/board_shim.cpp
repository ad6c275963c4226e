#include "c/board_shim.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "boardsim/FakeBoard.hpp"
#include "boardsim/PackageBuilder.hpp"
#include "support/Loopback.hpp"

struct shim_board {
  boardsim::FakeBoard board;
};

struct shim_mutex {
  std::mutex mutex;
};

namespace {

template <typename Make>
shim_board* start(const char* what, Make make) noexcept {
  try {
    return make();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fake board (%s) did not start: %s\n", what, e.what());
  } catch (...) {
    std::fprintf(stderr, "fake board (%s) did not start\n", what);
  }
  return nullptr;
}

shim_board* playing(const char* address, const std::vector<boardsim::PackageSpec>& specs) {
  boardsim::Script script;
  if (!specs.empty()) script.sendEach(boardsim::encodeEach(specs));
  script.silent();
  return new shim_board{{address, std::move(script)}};
}

}  // namespace

extern "C" {

shim_board* shim_board_numbered(const char* address, uint64_t first, size_t count, uint32_t channels,
                                uint32_t samplesPerChannel) {
  return start("numbered", [&] {
    return playing(address, boardsim::numberedPackages(first, count, channels, samplesPerChannel));
  });
}

shim_board* shim_board_with_meta(const char* address, const mirt_ostra_meta_data* meta) {
  return start("meta data", [&] {
    auto specs = boardsim::numberedPackages(1, 1, 2, 4);
    boardsim::PackageSpec& spec = specs[0];
    spec.statusWord = meta->statusWord;
    spec.headerValue = meta->headerValue;
    mirt::OstraMetaData& m = spec.meta;
    m.word36 = meta->word36;
    m.dspVersion = meta->dspVersion;
    m.firmwareVersion = meta->firmwareVersion;
    m.biosVersion = meta->biosVersion;
    m.word52 = meta->word52;
    m.word56 = meta->word56;
    m.word60 = meta->word60;
    m.word64 = meta->word64;
    m.word68 = meta->word68;
    m.real72 = meta->real72;
    m.real80 = meta->real80;
    m.word88 = meta->word88;
    m.word92 = meta->word92;
    m.word96 = meta->word96;
    m.half100 = meta->half100;
    m.half102 = meta->half102;
    m.word104 = meta->word104;
    m.word108 = meta->word108;
    return playing(address, specs);
  });
}

shim_board* shim_board_too_old(const char* address) {
  return start("too old", [&] {
    auto specs = boardsim::numberedPackages(1, 1);
    specs[0].meta.dspVersion = 1645;
    specs[0].meta.firmwareVersion = 38;
    specs[0].meta.biosVersion = 0x3F;
    return playing(address, specs);
  });
}

shim_board* shim_board_never_accepting(const char* address) {
  return start("never accepting", [&] {
    return new shim_board{{address, boardsim::FakeBoard::NeverAccept{}}};
  });
}

void shim_board_stop(shim_board* board) { delete board; }

size_t shim_board_clients_accepted(const shim_board* board) { return board->board.clientsAccepted(); }

int shim_board_wait_client_closed(const shim_board* board, unsigned timeoutMs) {
  return board->board.waitForClientClosed(std::chrono::milliseconds(timeoutMs)) ? 1 : 0;
}

uint32_t shim_numbered_sample(uint64_t number, uint32_t channel, uint32_t index) {
  return boardsim::numberedSample(number, channel, index);
}

const char* shim_loopback(unsigned host) {
  // Made once per number, kept for the process's life.
  static std::mutex mutex;
  static std::string texts[256];
  if (host == 0 || host > 254) return "";
  std::lock_guard lock(mutex);
  if (texts[host].empty()) texts[host] = support::loopback(support::Block::C, host);
  return texts[host].c_str();
}

uint64_t shim_now_ms(void) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void shim_sleep_ms(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

size_t shim_thread_count(void) {
  std::error_code error;
  std::size_t n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    ++n;
  }
  return n;
}

shim_mutex* shim_mutex_create(void) { return new shim_mutex; }
void shim_mutex_destroy(shim_mutex* mutex) { delete mutex; }
void shim_mutex_lock(shim_mutex* mutex) { mutex->mutex.lock(); }
void shim_mutex_unlock(shim_mutex* mutex) { mutex->mutex.unlock(); }

}  // extern "C"
