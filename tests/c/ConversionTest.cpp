// The C interface's conversion of exceptions into error codes and neutral
// results, driven through package and stream objects that throw whatever
// a test asks for; and the adapter that turns a C callback into the
// callback object.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "api/CallbackConverter.hpp"
#include "common/VarnelExceptionImpl.hpp"
#include "stream/OstraDataStreamImpl.hpp"
#include "support/PackageBytes.hpp"
#include "varnel/varnel.h"
#include "varnel/varnel.hpp"

namespace {

using mirt::VarnelException;

constexpr auto junk = static_cast<mirt_error_code>(77);

struct ThrowingPackage : mirt::OstraDataPackage {
  std::function<void()> raise;
  mutable int waveformCalls = 0;
  std::size_t getSize() const override { return raise(), 5; }
  std::size_t getChannelCount() const override { return raise(), 2; }
  const std::vector<std::uint32_t>& getWaveform(std::size_t) const override {
    ++waveformCalls;
    raise();
    static const std::vector<std::uint32_t> samples{1, 2, 3};
    return samples;
  }
  std::uint32_t getWaveformType(std::size_t) const override { return raise(), 7; }
  const mirt::OstraMetaData& getMetaData() const override {
    raise();
    static const mirt::OstraMetaData meta{};
    return meta;
  }
};

struct ThrowingStream : mirt::OstraDataStream {
  std::function<void()> raise;
  std::size_t getSize() const override { return raise(), 3; }
  std::unique_ptr<mirt::OstraDataPackage> pop() override {
    raise();
    return nullptr;
  }
};

mirt_ostra_data_package* handle(mirt::OstraDataPackage* package) {
  return reinterpret_cast<mirt_ostra_data_package*>(package);
}

mirt_ostra_data_stream* handle(mirt::OstraDataStream* stream) {
  return reinterpret_cast<mirt_ostra_data_stream*>(stream);
}

bool allZero(const mirt_ostra_meta_data& m) {
  return m.statusWord == 0 && m.headerValue == 0 && m.word36 == 0 && m.dspVersion == 0 &&
         m.firmwareVersion == 0 && m.biosVersion == 0 && m.word52 == 0 && m.word56 == 0 && m.word60 == 0 &&
         m.word64 == 0 && m.word68 == 0 && m.real72 == 0.0 && m.real80 == 0.0 && m.word88 == 0 &&
         m.word92 == 0 && m.word96 == 0 && m.half100 == 0 && m.half102 == 0 && m.word104 == 0 &&
         m.word108 == 0;
}

struct Case {
  const char* name;
  std::function<void()> raise;
  mirt_error_code expected;
};

const std::vector<Case>& cases() {
  using E = VarnelException;
  static const std::vector<Case> all = {
      {"Unspecified", [] { throw VarnelExceptionImpl("x", E::Unspecified); }, MIRT_ERROR_GENERAL},
      {"ConnectionFailed", [] { throw VarnelExceptionImpl("x", E::ConnectionFailed); },
       MIRT_ERROR_CONNECTION_FAILED},
      {"CommunicationError", [] { throw VarnelExceptionImpl("x", E::CommunicationError); },
       MIRT_ERROR_COMMUNICATION},
      {"GeneralError", [] { throw VarnelExceptionImpl("x", E::GeneralError); }, MIRT_ERROR_GENERAL},
      {"VersionMismatch", [] { throw VarnelExceptionImpl("x", E::VersionMismatch); },
       MIRT_ERROR_VERSION_MISMATCH},
      {"code out of range", [] { throw VarnelExceptionImpl("x", static_cast<E::ErrorCode>(7)); },
       MIRT_ERROR_GENERAL},
      {"minor", [] { throw VarnelMinorException("x", E::VersionMismatch); }, MIRT_ERROR_VERSION_MISMATCH},
      {"runtime_error", [] { throw std::runtime_error("x"); }, MIRT_ERROR_GENERAL},
      {"bad_alloc", [] { throw std::bad_alloc(); }, MIRT_ERROR_GENERAL},
      {"not an exception class", [] { throw 42; }, MIRT_ERROR_GENERAL},
  };
  return all;
}

TEST(CInterfaceConversion, EveryPackageFunctionReportsTheMappedCodeAndReturnsItsNeutralValue) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    ThrowingPackage package;
    package.raise = c.raise;
    std::uint32_t buffer[4] = {9, 9, 9, 9};
    mirt_error_code error = junk;
    EXPECT_EQ(mirt_ostra_data_package_get_size(handle(&package), &error), 0u);
    EXPECT_EQ(error, c.expected);
    error = junk;
    EXPECT_EQ(mirt_ostra_data_package_get_channel_count(handle(&package), &error), 0u);
    EXPECT_EQ(error, c.expected);
    error = junk;
    EXPECT_EQ(mirt_ostra_data_package_get_waveform(handle(&package), buffer, 4, 0, &error), 0u);
    EXPECT_EQ(error, c.expected);
    EXPECT_EQ(buffer[0], 9u);
    error = junk;
    EXPECT_EQ(mirt_ostra_data_package_get_waveform_type(handle(&package), 0, &error), 0u);
    EXPECT_EQ(error, c.expected);
    error = junk;
    EXPECT_TRUE(allZero(mirt_ostra_data_package_get_meta_data(handle(&package), &error)));
    EXPECT_EQ(error, c.expected);

    // Unreported, but the same results.
    EXPECT_EQ(mirt_ostra_data_package_get_size(handle(&package), nullptr), 0u);
    EXPECT_EQ(mirt_ostra_data_package_get_waveform(handle(&package), buffer, 4, 0, nullptr), 0u);
    EXPECT_TRUE(allZero(mirt_ostra_data_package_get_meta_data(handle(&package), nullptr)));
  }
}

TEST(CInterfaceConversion, EveryStreamFunctionReportsTheMappedCodeAndReturnsItsNeutralValue) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    ThrowingStream stream;
    stream.raise = c.raise;
    mirt_error_code error = junk;
    EXPECT_EQ(mirt_ostra_data_stream_get_size(handle(&stream), &error), 0u);
    EXPECT_EQ(error, c.expected);
    error = junk;
    EXPECT_EQ(mirt_ostra_data_stream_pop(handle(&stream), &error), nullptr);
    EXPECT_EQ(error, c.expected);
    EXPECT_EQ(mirt_ostra_data_stream_pop(handle(&stream), nullptr), nullptr);
  }
}

TEST(CInterfaceConversion, SuccessClearsTheErrorAndANullBufferReadsNothing) {
  ThrowingPackage package;
  package.raise = [] {};
  mirt_error_code error = junk;
  EXPECT_EQ(mirt_ostra_data_package_get_size(handle(&package), &error), 5u);
  EXPECT_EQ(error, MIRT_ERROR_NONE);

  std::uint32_t buffer[2] = {0, 0};
  error = junk;
  EXPECT_EQ(mirt_ostra_data_package_get_waveform(handle(&package), buffer, 2, 0, &error), 2u);
  EXPECT_EQ(error, MIRT_ERROR_NONE);
  EXPECT_EQ(buffer[1], 2u);
  EXPECT_EQ(package.waveformCalls, 1);

  package.raise = [] { throw std::runtime_error("x"); };
  error = junk;
  EXPECT_EQ(mirt_ostra_data_package_get_waveform(handle(&package), nullptr, 2, 0, &error), 0u);
  EXPECT_EQ(error, MIRT_ERROR_NONE);
  EXPECT_EQ(package.waveformCalls, 1);  // not asked at all
}

// The text kept for mirt_get_last_error_message, for each kind of
// exception a function body may throw.
TEST(CInterfaceErrorText, KeepsTheTextOfEveryKindOfException) {
  struct TextCase {
    const char* name;
    std::function<void()> raise;
    std::string expected;
  };
  struct NotStandard {};
  using E = VarnelException;
  const std::vector<TextCase> textCases = {
      {"library", [] { throw VarnelExceptionImpl("readHeader: Empty Package", E::CommunicationError); },
       "readHeader: Empty Package"},
      {"minor", [] { throw VarnelMinorException("start: refused", E::CommunicationError); },
       "start: refused"},
      {"empty text", [] { throw VarnelExceptionImpl("", E::GeneralError); }, ""},
      {"runtime_error", [] { throw std::runtime_error("from elsewhere"); }, "from elsewhere"},
      {"bad_alloc", [] { throw std::bad_alloc(); }, std::bad_alloc().what()},
      {"int", [] { throw 42; }, "exception of unknown type"},
      {"class not derived from std::exception", [] { throw NotStandard{}; }, "exception of unknown type"},
  };
  for (const TextCase& c : textCases) {
    SCOPED_TRACE(c.name);
    ThrowingPackage package;
    package.raise = c.raise;
    mirt_error_code error = junk;
    EXPECT_EQ(mirt_ostra_data_package_get_size(handle(&package), &error), 0u);
    EXPECT_NE(error, MIRT_ERROR_NONE);
    ASSERT_NE(mirt_get_last_error_message(), nullptr);
    EXPECT_EQ(std::string(mirt_get_last_error_message()), c.expected);
    // The same without an error pointer.
    EXPECT_TRUE(allZero(mirt_ostra_data_package_get_meta_data(handle(&package), nullptr)));
    EXPECT_EQ(std::string(mirt_get_last_error_message()), c.expected);

    package.raise = [] {};
    EXPECT_EQ(mirt_ostra_data_package_get_size(handle(&package), nullptr), 5u);
    EXPECT_STREQ(mirt_get_last_error_message(), "");
  }
}

// Each thread sees its own last call only.
TEST(CInterfaceErrorText, EachThreadHasItsOwnText) {
  ThrowingStream failing;
  failing.raise = [] { throw std::runtime_error("main thread"); };
  EXPECT_EQ(mirt_ostra_data_stream_get_size(handle(&failing), nullptr), 0u);

  std::string seenAtStart = "unset";
  std::string seenAfterFailure;
  std::string seenAfterSuccess = "unset";
  std::thread other([&] {
    seenAtStart = mirt_get_last_error_message();
    ThrowingStream own;
    own.raise = [] { throw std::runtime_error("other thread"); };
    mirt_ostra_data_stream_get_size(handle(&own), nullptr);
    seenAfterFailure = mirt_get_last_error_message();
    own.raise = [] {};
    mirt_ostra_data_stream_get_size(handle(&own), nullptr);
    seenAfterSuccess = mirt_get_last_error_message();
  });
  other.join();
  EXPECT_EQ(seenAtStart, "");
  EXPECT_EQ(seenAfterFailure, "other thread");
  EXPECT_EQ(seenAfterSuccess, "");
  EXPECT_STREQ(mirt_get_last_error_message(), "main thread");
}

struct Calls {
  std::vector<std::pair<mirt_ostra_data_stream*, void*>> seen;
  static void first(mirt_ostra_data_stream* stream, void* userData) {
    static_cast<Calls*>(userData)->seen.emplace_back(stream, userData);
  }
  static void second(mirt_ostra_data_stream* stream, void* userData) { first(stream, userData); }
};

static_assert(!std::is_copy_constructible_v<CallbackConverter> &&
                  !std::is_move_constructible_v<CallbackConverter>,
              "the callback refers to the converter by address");

TEST(CallbackConverter, CallsTheCFunctionWithTheUnadjustedStreamAndTheMembersAtCallTime) {
  Calls a;
  Calls b;
  ThrowingStream stream;
  auto converter = std::make_unique<CallbackConverter>(&Calls::first, &a);
  const std::function<void(mirt::OstraDataStream*)> copy = converter->callback;

  copy(&stream);
  ASSERT_EQ(a.seen.size(), 1u);
  EXPECT_EQ(static_cast<void*>(a.seen[0].first),
            static_cast<void*>(static_cast<mirt::OstraDataStream*>(&stream)));
  EXPECT_EQ(a.seen[0].second, &a);

  converter->cFunction = &Calls::second;
  converter->userData = &b;
  copy(nullptr);
  EXPECT_EQ(a.seen.size(), 1u);
  ASSERT_EQ(b.seen.size(), 1u);
  EXPECT_EQ(b.seen[0].first, nullptr);

  converter->cFunction = nullptr;
  EXPECT_THROW(copy(&stream), std::bad_function_call);
}

// Many packages per call: the leading run of packages of one shape, as many
// as fit; the rest stay in the stream.
TEST(PopBatch, TakesTheLeadingRunOfOneShapeAsFarAsItFits) {
  OstraDataStreamImpl stream;
  for (std::uint64_t n = 1; n <= 3; ++n) {  // 2 channels x 2 samples
    stream.appendPackage(
        bytes::readerOf(*bytes::package({.headerValue = n}, static_cast<std::uint32_t>(100 * n))));
  }
  stream.appendPackage(bytes::readerOf(
      *bytes::package({.packageSize = 140, .headerValue = 4, .channelCount = 1, .dataSize = 12})));
  mirt_error_code error = junk;
  std::uint32_t channels = 99, perChannel = 99;
  // No room: nothing taken, but the shape says what a batch needs.
  EXPECT_EQ(mirt_ostra_data_stream_pop_batch(handle(&stream), 10, nullptr, nullptr, nullptr, 0, &channels,
                                             &perChannel, &error),
            0u);
  EXPECT_EQ(error, MIRT_ERROR_NONE);
  EXPECT_EQ(std::make_pair(channels, perChannel), std::make_pair(2u, 2u));
  EXPECT_EQ(stream.getSize(), 4u);

  // Room for two packages of that shape (and a sample more).
  std::vector<mirt_ostra_meta_data> meta(10);
  std::vector<std::uint32_t> types(80, 77), samples(9, 77);
  EXPECT_EQ(mirt_ostra_data_stream_pop_batch(handle(&stream), 10, meta.data(), types.data(), samples.data(),
                                             9, &channels, &perChannel, &error),
            2u);
  EXPECT_EQ(meta[0].headerValue, 1u);
  EXPECT_EQ(meta[1].headerValue, 2u);
  EXPECT_EQ(meta[1].dspVersion, 3646u);
  EXPECT_EQ(std::vector<std::uint32_t>(types.begin(), types.begin() + 16),
            (std::vector<std::uint32_t>{5, 9, 0, 0, 0, 0, 0, 0, 5, 9, 0, 0, 0, 0, 0, 0}));
  // Channel after channel, package after package; the ninth slot untouched.
  EXPECT_EQ(samples, (std::vector<std::uint32_t>{100, 101, 102, 103, 200, 201, 202, 203, 77}));

  // The third package ends the run: the fourth has another shape.
  EXPECT_EQ(mirt_ostra_data_stream_pop_batch(handle(&stream), 10, meta.data(), nullptr, samples.data(), 9,
                                             &channels, &perChannel, &error),
            1u);
  EXPECT_EQ(meta[0].headerValue, 3u);
  EXPECT_EQ(mirt_ostra_data_stream_pop_batch(handle(&stream), 1, meta.data(), nullptr, samples.data(), 9,
                                             &channels, &perChannel, &error),
            1u);
  EXPECT_EQ(std::make_pair(channels, perChannel), std::make_pair(1u, 3u));
  EXPECT_EQ(meta[0].headerValue, 4u);
  EXPECT_EQ(stream.getSize(), 0u);
  EXPECT_EQ(mirt_ostra_data_stream_pop_batch(handle(&stream), 10, meta.data(), nullptr, samples.data(), 9,
                                             &channels, &perChannel, &error),
            0u);
  EXPECT_EQ(std::make_pair(channels, perChannel), std::make_pair(0u, 0u));
  EXPECT_EQ(error, MIRT_ERROR_NONE);
}

}  // namespace
