#include "stream/PackageChecker.hpp"

#include <cassert>
#include <stdexcept>

#include <fmt/format.h>

#include "stream/PackageReader.hpp"

namespace {

[[noreturn]] void refuse(mirt::VarnelException::ErrorCode code, const std::string& message,
                         mirt::FailureCause cause) {
  throw PackageRefusal(code, message, cause);
}

// Largest sample area that fits the buffer behind the 128-byte offset.
constexpr std::uint64_t maxDataSize = package::bufferSize - package::sampleDataOffset;

}  // namespace

namespace PackageChecker {

PackageHeader checkHeader(const PackageReader& package, const ReadOutcome& read) {
  if (read.failed) {
    refuse(mirt::VarnelException::CommunicationError, "ErrorCode: " + read.errorMessage, read.cause);
  }
  if (read.bytesTransferred < package::headerSize) {
    refuse(mirt::VarnelException::CommunicationError,
           fmt::format("Received header size too small. Expected {} bytes but received {} bytes.",
                       package::headerSize, read.bytesTransferred),
           mirt::FailureCause::MalformedHeader);
  }
  const PackageHeader header = package.parseHeader();
  // Before the version test, so that an all-zero header counts as empty.
  if (header.packageSize == 0) {
    refuse(mirt::VarnelException::CommunicationError, "Empty Package", mirt::FailureCause::MalformedHeader);
  }
  if (header.protocolVersion != package::requiredProtocolVersion) {
    refuse(
        mirt::VarnelException::VersionMismatch,
        fmt::format("TCP-Package Header has wrong protocol version. Found: {}; Required: {}; Hint: Minimum "
                    "required Ostra6-Version is {}",
                    header.protocolVersion, package::requiredProtocolVersion, package::minimumBoardVersion),
        mirt::FailureCause::WrongProtocolVersion);
  }
  // Sizes that cannot be read safely: a body of negative length or one that
  // does not fit the buffer, a channel table beyond its eight entries, and
  // a sample area reaching past the buffer's end.
  if (header.packageSize < package::headerSize || header.packageSize > package::bufferSize) {
    refuse(mirt::VarnelException::CommunicationError,
           fmt::format("Invalid package size {}; allowed are {} to {} bytes", header.packageSize,
                       package::headerSize, package::bufferSize),
           mirt::FailureCause::MalformedHeader);
  }
  if (header.channelCount > package::maxChannels) {
    refuse(mirt::VarnelException::CommunicationError,
           fmt::format("Invalid channel count {}; allowed are 0 to {} channels", header.channelCount,
                       package::maxChannels),
           mirt::FailureCause::MalformedHeader);
  }
  if (header.dataSize > maxDataSize) {
    refuse(mirt::VarnelException::CommunicationError,
           fmt::format("Invalid data size {}; allowed are 0 to {} bytes", header.dataSize, maxDataSize),
           mirt::FailureCause::MalformedHeader);
  }
  return header;
}

void checkBody(const PackageReader& package, std::uint64_t packageSize, const ReadOutcome& read,
               bool& boardVersionVerified) {
  if (read.failed) {
    refuse(mirt::VarnelException::CommunicationError, "ErrorCode: " + read.errorMessage, read.cause);
  }
  // checkHeader has refused other sizes, so the body length cannot wrap.
  assert(packageSize >= package::headerSize && packageSize <= package::bufferSize);
  const std::uint64_t bodySize = packageSize - package::headerSize;
  const std::uint64_t received = read.bytesTransferred;
  if (received < bodySize) {
    refuse(mirt::VarnelException::CommunicationError,
           fmt::format("Size mismatch in body: {}", bodySize - received), mirt::FailureCause::MalformedBody);
  }
  if (boardVersionVerified) {
    return;
  }
  // A package that ends before the version fields carries no versions (its
  // positions would read as filler, which passes): it neither passes nor
  // fails the check, which waits for the next package that has them.
  if (packageSize < package::versionFieldsEnd) {
    return;
  }
  const mirt::OstraMetaData meta = package.parseMetaData();
  const std::uint32_t dsp = meta.dspVersion % 1000;
  const std::uint32_t firmware = (meta.firmwareVersion & 0x7Fu) + 600;
  const std::uint32_t bios = meta.biosVersion;
  if (dsp < package::minimumDspVersion || firmware < package::minimumFirmwareVersion ||
      bios < package::minimumBiosVersion) {
    refuse(mirt::VarnelException::VersionMismatch,
           fmt::format(
               "Connected Ostra6 has wrong version (Minimum {}). Found (Minimum): DSP: {} ({}), Firmware: "
               "{} ({}), BIOS: 0x{:x} (0x{:x})",
               package::minimumBoardVersion, dsp, package::minimumDspVersion, firmware,
               package::minimumFirmwareVersion, bios, package::minimumBiosVersion),
           mirt::FailureCause::BoardTooOld);
  }
  boardVersionVerified = true;
}

}  // namespace PackageChecker
