#pragma once

// The checks that the board connection runs when a header and when a body
// have arrived. They depend only on the receive buffer and on the read's
// outcome, so they can be exercised without a socket.
//
// Each check sets `code` to the code of the failing check (it leaves it
// untouched on success) and throws std::runtime_error with the message; the
// caller prefixes the message with its own name and records it.

#include <cstddef>
#include <cstdint>
#include <string>

#include "stream/PackageFormat.hpp"
#include "stream/PackageReader.hpp"
#include "varnel/varnel.hpp"

// What the read reported: whether it failed (with the I/O library's message
// for the failure) and how many bytes it transferred.
struct ReadOutcome {
  bool failed = false;
  std::string errorMessage;
  std::size_t bytesTransferred = 0;
};

namespace PackageChecker {

using ErrorCode = mirt::VarnelException::ErrorCode;

// Header checks, in this order: read error, short header, "Empty Package",
// protocol version, then the refusals of sizes that cannot be read safely
// (package size outside 36..65536, more than 8 channels, a sample area that
// reaches beyond the buffer). Returns the parsed header.
PackageHeader checkHeader(const PackageReader& package, const ReadOutcome& read, ErrorCode& code);
PackageHeader checkHeader(const PackageBuffer& buffer, const ReadOutcome& read, ErrorCode& code);

// Body checks, in this order: read error, short body, and, until one body
// of this process has passed it, the board version check (only on bodies
// long enough to carry the version fields).
void checkBody(const PackageReader& package, std::uint64_t packageSize, const ReadOutcome& read,
               ErrorCode& code);
void checkBody(const PackageBuffer& buffer, std::uint64_t packageSize, const ReadOutcome& read,
               ErrorCode& code);

// The process-wide flag of the one-time board version check.
bool boardVersionVerified();
// Clears the flag again; for tests only.
void resetBoardVersionCheck();

}  // namespace PackageChecker
