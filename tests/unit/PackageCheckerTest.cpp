#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "stream/PackageChecker.hpp"
#include "support/PackageBytes.hpp"

using mirt::VarnelException;

namespace {

// The outcome of one check: its message (empty when it passed) and the code
// of its refusal. The code starts at a value no check uses, so a refusal
// without a code of its own shows.
struct Outcome {
  std::string message;
  VarnelException::ErrorCode code = VarnelException::ConnectionFailed;
  mirt::FailureCause cause = mirt::FailureCause::None;  // not compared: the fault tests check it
};
const Outcome passed{};

bool operator==(const Outcome& a, const Outcome& b) { return a.message == b.message && a.code == b.code; }
std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << '"' << o.message << "\" " << o.code;
}

Outcome header(const bytes::Header& h, ReadOutcome read = {false, "", 36}) {
  auto buffer = bytes::filledBuffer();
  bytes::writeHeader(*buffer, h);
  Outcome out;
  try {
    PackageChecker::checkHeader(bytes::readerOf(*buffer), read);
  } catch (const PackageRefusal& e) {
    out.message = e.what();
    out.code = e.code;
    out.cause = e.cause;
  }
  return out;
}

// `verified` is the connection's flag of the board version check.
Outcome body(const PackageBuffer& buffer, std::uint64_t packageSize, ReadOutcome read, bool& verified) {
  Outcome out;
  try {
    PackageChecker::checkBody(bytes::readerOf(buffer), packageSize, read, verified);
  } catch (const PackageRefusal& e) {
    out.message = e.what();
    out.code = e.code;
    out.cause = e.cause;
  }
  return out;
}

// A body with the given board versions, read completely.
Outcome versions(std::uint32_t dsp, std::uint32_t firmware, std::uint32_t bios, bool& verified) {
  auto buffer = bytes::package({});
  bytes::put32(*buffer, 40, dsp);
  bytes::put32(*buffer, 44, firmware);
  bytes::put32(*buffer, 48, bios);
  return body(*buffer, 144, {false, "", 108}, verified);
}
// ... as the first body of a connection.
Outcome versions(std::uint32_t dsp, std::uint32_t firmware, std::uint32_t bios) {
  bool verified = false;
  return versions(dsp, firmware, bios, verified);
}

Outcome communication(std::string message) {
  return {std::move(message), VarnelException::CommunicationError};
}
Outcome mismatch(std::string message) { return {std::move(message), VarnelException::VersionMismatch}; }

class PackageCheckerTest : public ::testing::Test {
 protected:
  bool verified = false;  // the flag of the connection under test
};

TEST_F(PackageCheckerTest, HeaderChecksRunInTheirOrder) {
  EXPECT_EQ(header({}, {true, "End of file", 0}), communication("ErrorCode: End of file"));
  EXPECT_EQ(header({}, {true, "Connection reset by peer", 36}),
            communication("ErrorCode: Connection reset by peer"));
  EXPECT_EQ(header({.packageSize = 0}, {false, "", 35}),
            communication("Received header size too small. Expected 36 bytes but received 35 bytes."));
  EXPECT_EQ(header({.protocolVersion = 7, .packageSize = 0}), communication("Empty Package"));
  EXPECT_EQ(header({.protocolVersion = 2, .packageSize = 10, .channelCount = 9}),
            mismatch("TCP-Package Header has wrong protocol version. Found: 2; Required: 1; "
                     "Hint: Minimum required Ostra6-Version is 1.16.3"));
  EXPECT_EQ(header({.protocolVersion = 65535}).message,
            "TCP-Package Header has wrong protocol version. Found: 65535; Required: 1; "
            "Hint: Minimum required Ostra6-Version is 1.16.3");
  EXPECT_EQ(header({.packageSize = 35, .channelCount = 9, .dataSize = 70000}),
            communication("Invalid package size 35; allowed are 36 to 65536 bytes"));
  EXPECT_EQ(header({.channelCount = 9, .dataSize = 70000}),
            communication("Invalid channel count 9; allowed are 0 to 8 channels"));
  EXPECT_EQ(header({}), passed);
}

TEST_F(PackageCheckerTest, SizesAreRefusedAtTheirBoundaries) {
  for (std::uint32_t size : {1u, 35u, 65537u, 0xFFFFFFFFu}) {
    EXPECT_EQ(header({.packageSize = size}), communication("Invalid package size " + std::to_string(size) +
                                                           "; allowed are 36 to 65536 bytes"));
  }
  EXPECT_EQ(header({.packageSize = 36, .channelCount = 0, .dataSize = 0}), passed);
  EXPECT_EQ(header({.packageSize = 65536}), passed);
  EXPECT_EQ(header({.channelCount = 8}), passed);
  EXPECT_EQ(header({.channelCount = 0xFFFFFFFF}),
            communication("Invalid channel count 4294967295; allowed are 0 to 8 channels"));
  // Samples beyond packageSize but inside the buffer are allowed.
  EXPECT_EQ(header({.packageSize = 36, .dataSize = 65408}), passed);
  for (std::uint32_t size : {65409u, 0xFFFFFFFFu}) {
    EXPECT_EQ(header({.dataSize = size}),
              communication("Invalid data size " + std::to_string(size) + "; allowed are 0 to 65408 bytes"));
  }
}

TEST_F(PackageCheckerTest, BodyReadErrorAndShortBodyComeBeforeTheVersionCheck) {
  auto tooOld = bytes::filledBuffer();  // filler versions would pass; zero ones do not
  bytes::put32(*tooOld, 40, 0);
  EXPECT_EQ(body(*tooOld, 144, {true, "Operation canceled", 108}, verified),
            communication("ErrorCode: Operation canceled"));
  EXPECT_EQ(body(*tooOld, 144, {false, "", 98}, verified), communication("Size mismatch in body: 10"));
  // No socket read ends a body short without a failure of its own, so only
  // this test sees the cause.
  EXPECT_EQ(body(*tooOld, 144, {false, "", 98}, verified).cause, mirt::FailureCause::MalformedBody);
  EXPECT_EQ(body(*tooOld, 65536, {false, "", 0}, verified), communication("Size mismatch in body: 65500"));
  EXPECT_FALSE(verified);
  EXPECT_EQ(body(*tooOld, 144, {false, "", 108}, verified).code, VarnelException::VersionMismatch);
  // A header-only package has nothing to miss.
  EXPECT_EQ(body(*bytes::package({}), 36, {false, "", 0}, verified), passed);
}

TEST_F(PackageCheckerTest, BoardVersionsAreReducedAndReportedAsTold) {
  EXPECT_EQ(versions(1645, 38, 0x3F),
            mismatch("Connected Ostra6 has wrong version (Minimum 1.16.3). Found (Minimum): DSP: 645 (646), "
                     "Firmware: 638 (639), BIOS: 0x3f (0x40)"));
  EXPECT_EQ(versions(1000, 0x127, 0xABCDEF).message,
            "Connected Ostra6 has wrong version (Minimum 1.16.3). Found (Minimum): DSP: 0 (646), "
            "Firmware: 639 (639), BIOS: 0xabcdef (0x40)");
  EXPECT_EQ(versions(3646, 0x127 + 0x100, 0x3F).message,
            "Connected Ostra6 has wrong version (Minimum 1.16.3). Found (Minimum): DSP: 646 (646), "
            "Firmware: 639 (639), BIOS: 0x3f (0x40)");
  EXPECT_EQ(versions(3646, 0x80 + 39, 0x40), passed);
  EXPECT_EQ(versions(2646, 39, 0x40), passed);
  EXPECT_EQ(versions(999, 0x7F, 0xFFFFFFFF), passed);
}

TEST_F(PackageCheckerTest, BoardVersionIsCheckedUntilOneBodyOfTheConnectionPasses) {
  EXPECT_EQ(versions(1645, 38, 0x3F, verified).code, VarnelException::VersionMismatch);
  EXPECT_EQ(versions(1645, 38, 0x3F, verified).code, VarnelException::VersionMismatch);
  EXPECT_FALSE(verified);
  EXPECT_EQ(versions(3646, 0x127, 0x40, verified), passed);
  EXPECT_TRUE(verified);
  // Later bodies of this connection are not checked again ...
  EXPECT_EQ(versions(0, 0, 0, verified), passed);
  // ... but those of another connection are.
  bool other = false;
  EXPECT_EQ(versions(0, 0, 0, other).code, VarnelException::VersionMismatch);
  EXPECT_FALSE(other);
}

TEST_F(PackageCheckerTest, BodiesWithoutTheVersionFieldsNeitherPassNorFailTheCheck) {
  // Their version positions would read as filler (DSP 845, firmware 677,
  // BIOS 0xcdcdcdcd), which passes.
  auto headerOnly = bytes::filledBuffer();
  EXPECT_EQ(body(*headerOnly, 36, {false, "", 0}, verified), passed);
  EXPECT_EQ(body(*headerOnly, 44, {false, "", 8}, verified), passed);
  EXPECT_EQ(body(*headerOnly, 51, {false, "", 15}, verified), passed);
  EXPECT_FALSE(verified);
  // A too-old board after them, then a good one.
  EXPECT_EQ(versions(1645, 38, 0x3F, verified).code, VarnelException::VersionMismatch);
  EXPECT_EQ(body(*headerOnly, 44, {false, "", 8}, verified), passed);
  EXPECT_EQ(versions(3646, 0x127, 0x40, verified), passed);
  EXPECT_TRUE(verified);
}

}  // namespace
