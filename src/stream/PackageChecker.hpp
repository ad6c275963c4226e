#pragma once

// The checks that the board connection runs when a header and when a body
// have arrived. They depend only on the package's bytes and on the read's
// outcome, so they can be exercised without a socket. A failed check throws
// PackageRefusal with the message and the code to record; the caller
// prefixes the message with its own name.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "stream/PackageFormat.hpp"
#include "stream/PackageReader.hpp"
#include "varnel/varnel.hpp"

// What the read reported: whether it failed (with the I/O library's message
// for the failure, and what the failure means for the connection, which
// only the caller can tell) and how many bytes it transferred.
struct ReadOutcome {
  bool failed = false;
  std::string errorMessage;
  std::size_t bytesTransferred = 0;
  mirt::FailureCause cause = mirt::FailureCause::Other;
};

// A header or body the checks refuse, with the code and cause to record.
class PackageRefusal : public std::runtime_error {
 public:
  PackageRefusal(mirt::VarnelException::ErrorCode code, const std::string& message, mirt::FailureCause cause)
      : std::runtime_error(message), code(code), cause(cause) {}
  mirt::VarnelException::ErrorCode code;
  mirt::FailureCause cause;
};

namespace PackageChecker {

// Header checks, in this order: read error (with the read's cause), short
// header, "Empty Package", protocol version (WrongProtocolVersion), then the
// refusals of sizes that cannot be read safely (package size outside
// 36..65536, more than 8 channels, a sample area that reaches beyond the
// buffer); the others are MalformedHeader. Returns the parsed header.
PackageHeader checkHeader(const PackageReader& package, const ReadOutcome& read);

// Body checks of a package whose header passed, in this order: read error
// (with the read's cause), short body (MalformedBody), and, while
// `boardVersionVerified` is false, the board version check (BoardTooOld;
// only on bodies long enough to carry the version fields). The flag
// belongs to one connection: it starts false with the connection and is
// set here when one of its bodies passes, so a board that is swapped for
// another, or a second board of the process, is checked on its own.
void checkBody(const PackageReader& package, std::uint64_t packageSize, const ReadOutcome& read,
               bool& boardVersionVerified);

}  // namespace PackageChecker
