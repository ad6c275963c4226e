// Receives the data stream of an Ostra6 board and prints a line for every
// batch of packages, until Ctrl-C.
//
//   varnel_cpp_example <board-ip-address>
//
// Exit status 0 after Ctrl-C, 1 when the connection fails, 2 for a wrong
// command line.
#include <chrono>
#include <csignal>
#include <cstddef>
#include <exception>
#include <iostream>
#include <memory>
#include <thread>

#include <varnel/varnel.hpp>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onSignal(int) { stopRequested = 1; }

// Runs on the library's I/O thread for every hand-over. It takes every
// package out of the stream (the rest would be destroyed when it returns);
// a package popped here may be kept and read later, on any thread. No
// package is read while it runs, so it does little.
class StreamPrinter {
 public:
  void operator()(mirt::OstraDataStream* stream) {
    std::size_t packages = 0;
    std::size_t channels = 0;
    std::size_t samples = 0;
    while (std::unique_ptr<mirt::OstraDataPackage> package = stream->pop()) {
      const std::size_t count = package->getChannelCount();
      for (std::size_t channel = 0; channel < count; ++channel) {
        samples += package->getWaveform(channel).size();
      }
      if (count > channels) channels = count;
      ++packages;
    }
    // Without data the library still hands the (empty) stream over each
    // wait time; only batches with packages are printed.
    if (packages == 0) return;
    ++streams;
    std::cout << "stream " << streams << ": " << packages << " packages, " << channels << " channels, "
              << samples << " samples" << std::endl;
  }

 private:
  unsigned long streams = 0;  // only touched on the library's thread
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << (argc > 0 ? argv[0] : "varnel_cpp_example") << " <board-ip-address>\n";
    return 2;
  }
  try {
    std::unique_ptr<mirt::Varnel> parser = mirt::createVarnel(argv[1], StreamPrinter());
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    parser->connect();
    std::cout << "connected to " << argv[1] << "; Ctrl-C to stop" << std::endl;
    while (!stopRequested) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      parser->getAsyncError();  // throws a failure recorded on the library's thread
    }
    parser->disconnect();  // throws a failure recorded meanwhile
    std::cout << "disconnected" << std::endl;
    return 0;
  } catch (const mirt::VarnelException& e) {
    std::cerr << "error " << static_cast<int>(e.getErrorCode()) << ": " << e.what() << '\n';
  } catch (const std::exception& e) {
    // Any other failure (the library reports its own, a non-numeric
    // address among them, as VarnelException).
    std::cerr << "error: " << e.what() << '\n';
  }
  return 1;
}
