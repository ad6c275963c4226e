#include "Receivers.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include <fmt/format.h>

#include "Errors.hpp"
#include "capture/CaptureWriter.hpp"

namespace bench {

std::string asyncError(mirt::Varnel& parser) {
  try {
    parser.getAsyncError();
  } catch (const mirt::VarnelException& e) {
    return errorText(e);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error recorded";
}

namespace {
capture::CaptureWriter* captureWriter = nullptr;
}  // namespace

void captureInto(capture::CaptureWriter* writer) { captureWriter = writer; }

std::unique_ptr<mirt::Varnel> connectVarnel(const std::string& ip,
                                            std::function<void(mirt::OstraDataStream*)> callback) {
  auto parser = mirt::createVarnel(ip, std::move(callback));
  if (captureWriter != nullptr) {
    parser->setReceiveObserver(
        [writer = captureWriter](const mirt::ReceivedBytes& b) { writer->observe(b); });
  }
  parser->setPackageCounter(packageCounter);
  parser->setTcpTimeout(3);
  parser->connect();
  return parser;
}

bool PackageCount::wait(mirt::Varnel& parser, Clock::time_point deadline, std::string& error) {
  for (;;) {
    {
      std::unique_lock lock(mutex);
      const auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(100));
      if (reached.wait_until(lock, until, [this] { return done; })) {
        return true;
      }
    }
    if (parser.getState() == mirt::ConnectionState::Error) {
      error = fmt::format("after {} of {} packages: {}", packages.load(), target, asyncError(parser));
      return false;
    }
    if (Clock::now() >= deadline) {
      error = fmt::format("timed out after {} of {} packages", packages.load(), target);
      return false;
    }
  }
}

}  // namespace bench
