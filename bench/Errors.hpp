#pragma once

// How the benchmark words a failure of the library or of a socket.

#include <exception>
#include <string>

#include <fmt/format.h>

#include "varnel/varnel.hpp"

namespace bench {

/// "message (code N)".
inline std::string errorText(const mirt::VarnelException& e) {
  return fmt::format("{} (code {})", e.what(), static_cast<int>(e.getErrorCode()));
}

/// Runs `body` and turns the exceptions of the library or of the sockets into
/// a message in `error`; false if it threw.
template <typename Body>
bool guarded(std::string& error, Body&& body) {
  try {
    body();
    return true;
  } catch (const mirt::VarnelException& e) {
    error = errorText(e);
  } catch (const std::exception& e) {
    error = e.what();
  }
  return false;
}

}  // namespace bench
