// The C interface: each function forwards to the class interface inside
// `guarded`, which turns every exception into a mirt_error_code and the
// function's neutral result, and keeps the exception's text for
// mirt_get_last_error_message.
#include "varnel/varnel.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "api/CallbackConverter.hpp"
#include "common/VarnelExceptionImpl.hpp"
#include "connection/OstraReceiver.hpp"
#include "stream/OstraDataStreamImpl.hpp"
#include "varnel/varnel.hpp"

// The record behind a mirt_varnel handle. The parser goes first, so that
// the converter outlives every thread of the parser that could call it.
struct mirt_varnel {
  std::unique_ptr<CallbackConverter> converter;
  std::unique_ptr<mirt::Varnel> parser;

  ~mirt_varnel() {
    parser.reset();
    converter.reset();
  }
};

namespace {

using mirt::ConnectionState;
using mirt::OstraMetaData;
using mirt::VarnelException;

// The C values are the class interface's values.
static_assert(sizeof(mirt_error_code) == 4 && sizeof(mirt_connection_state) == 4);
static_assert(MIRT_ERROR_NONE == 0);
static_assert(MIRT_ERROR_CONNECTION_FAILED == static_cast<int>(VarnelException::ConnectionFailed));
static_assert(MIRT_ERROR_COMMUNICATION == static_cast<int>(VarnelException::CommunicationError));
static_assert(MIRT_ERROR_GENERAL == static_cast<int>(VarnelException::GeneralError));
static_assert(MIRT_ERROR_VERSION_MISMATCH == static_cast<int>(VarnelException::VersionMismatch));
static_assert(MIRT_RECEIVED_CONNECTED == static_cast<int>(mirt::ReceivedBytes::Connected));
static_assert(MIRT_RECEIVED_DATA == static_cast<int>(mirt::ReceivedBytes::Data));
static_assert(MIRT_RECEIVED_CLOSED == static_cast<int>(mirt::ReceivedBytes::Closed));
static_assert(MIRT_RECEIVED_RESET == static_cast<int>(mirt::ReceivedBytes::Reset));
static_assert(MIRT_RECEIVED_FAILED == static_cast<int>(mirt::ReceivedBytes::Failed));
static_assert(MIRT_STATE_CONNECTED == static_cast<int>(ConnectionState::Connected));
static_assert(MIRT_STATE_RECEIVING == static_cast<int>(ConnectionState::Receiving));
static_assert(MIRT_STATE_NOT_CONNECTED == static_cast<int>(ConnectionState::NotConnected));
static_assert(MIRT_STATE_ERROR == static_cast<int>(ConnectionState::Error));
static_assert(sizeof(mirt_failure_cause) == 4);
#define VARNEL_SAME_CAUSE(c, cxx) static_assert(c == static_cast<int>(mirt::FailureCause::cxx), #c)
VARNEL_SAME_CAUSE(MIRT_CAUSE_NONE, None);
VARNEL_SAME_CAUSE(MIRT_CAUSE_REFUSED, Refused);
VARNEL_SAME_CAUSE(MIRT_CAUSE_UNREACHABLE, Unreachable);
VARNEL_SAME_CAUSE(MIRT_CAUSE_CONNECT_TIMED_OUT, ConnectTimedOut);
VARNEL_SAME_CAUSE(MIRT_CAUSE_CLOSED_BETWEEN_PACKAGES, ClosedBetweenPackages);
VARNEL_SAME_CAUSE(MIRT_CAUSE_CLOSED_INSIDE_PACKAGE, ClosedInsidePackage);
VARNEL_SAME_CAUSE(MIRT_CAUSE_RESET, Reset);
VARNEL_SAME_CAUSE(MIRT_CAUSE_DEAD_LINK, DeadLink);
VARNEL_SAME_CAUSE(MIRT_CAUSE_MALFORMED_HEADER, MalformedHeader);
VARNEL_SAME_CAUSE(MIRT_CAUSE_MALFORMED_BODY, MalformedBody);
VARNEL_SAME_CAUSE(MIRT_CAUSE_WRONG_PROTOCOL_VERSION, WrongProtocolVersion);
VARNEL_SAME_CAUSE(MIRT_CAUSE_BOARD_TOO_OLD, BoardTooOld);
VARNEL_SAME_CAUSE(MIRT_CAUSE_CALLBACK_THREW, CallbackThrew);
VARNEL_SAME_CAUSE(MIRT_CAUSE_OTHER, Other);
#undef VARNEL_SAME_CAUSE

// The records have the layout of their C++ counterparts, field by field,
// so that each is converted with one copy (see sameLayout and toC below).
// A field added, moved or resized on one side only fails here.
#define VARNEL_SAME_FIELD_AT(CType, CxxType, field, shift)                                          \
  static_assert(offsetof(CType, field) == (shift) + offsetof(CxxType, field), "offset of " #field); \
  static_assert(sizeof(CType::field) == sizeof(CxxType::field), "size of " #field)
#define VARNEL_SAME_FIELD(CType, CxxType, field) VARNEL_SAME_FIELD_AT(CType, CxxType, field, 0)

static_assert(sizeof(mirt_version_info) == sizeof(mirt::VersionInfo) && sizeof(mirt::VersionInfo) == 12);
VARNEL_SAME_FIELD(mirt_version_info, mirt::VersionInfo, major);
VARNEL_SAME_FIELD(mirt_version_info, mirt::VersionInfo, minor);
VARNEL_SAME_FIELD(mirt_version_info, mirt::VersionInfo, patch);

static_assert(sizeof(mirt_ostra_meta_data) == sizeof(OstraMetaData) && sizeof(OstraMetaData) == 96);
static_assert(alignof(mirt_ostra_meta_data) == alignof(OstraMetaData) && alignof(OstraMetaData) == 8);
static_assert(std::is_standard_layout_v<mirt_ostra_meta_data> &&
              std::is_trivially_copyable_v<mirt_ostra_meta_data>);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, statusWord);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, headerValue);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word36);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, dspVersion);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, firmwareVersion);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, biosVersion);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word52);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word56);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word60);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word64);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word68);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, real72);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, real80);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word88);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word92);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word96);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, half100);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, half102);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word104);
VARNEL_SAME_FIELD(mirt_ostra_meta_data, OstraMetaData, word108);

static_assert(sizeof(mirt_receive_time) == sizeof(mirt::ReceiveTime) && sizeof(mirt::ReceiveTime) == 16);
static_assert(alignof(mirt_receive_time) == alignof(mirt::ReceiveTime) && alignof(mirt::ReceiveTime) == 8);
VARNEL_SAME_FIELD(mirt_receive_time, mirt::ReceiveTime, systemTimeNs);
VARNEL_SAME_FIELD(mirt_receive_time, mirt::ReceiveTime, steadyTimeNs);

static_assert(sizeof(mirt_received_bytes) == sizeof(mirt::ReceivedBytes));
static_assert(alignof(mirt_received_bytes) == alignof(mirt::ReceivedBytes));
static_assert(sizeof(mirt::ReceivedBytes::Event) == sizeof(int32_t));
VARNEL_SAME_FIELD(mirt_received_bytes, mirt::ReceivedBytes, event);
VARNEL_SAME_FIELD(mirt_received_bytes, mirt::ReceivedBytes, receiveTimeNs);
VARNEL_SAME_FIELD(mirt_received_bytes, mirt::ReceivedBytes, data);
VARNEL_SAME_FIELD(mirt_received_bytes, mirt::ReceivedBytes, size);
VARNEL_SAME_FIELD(mirt_received_bytes, mirt::ReceivedBytes, localAddress);
VARNEL_SAME_FIELD(mirt_received_bytes, mirt::ReceivedBytes, boardAddress);
VARNEL_SAME_FIELD(mirt_received_bytes, mirt::ReceivedBytes, localPort);
VARNEL_SAME_FIELD(mirt_received_bytes, mirt::ReceivedBytes, boardPort);
VARNEL_SAME_FIELD(mirt_received_bytes, mirt::ReceivedBytes, text);

// The C statistics record is the C++ one behind the size field.
constexpr std::size_t statisticsFiguresAt = offsetof(mirt_varnel_statistics, connections);
static_assert(sizeof(mirt_varnel_statistics) == statisticsFiguresAt + sizeof(mirt::VarnelStatistics));
static_assert(std::is_standard_layout_v<mirt::VarnelStatistics> &&
              std::is_trivially_copyable_v<mirt::VarnelStatistics>);
#define VARNEL_SAME_FIGURE(field) \
  VARNEL_SAME_FIELD_AT(mirt_varnel_statistics, mirt::VarnelStatistics, field, statisticsFiguresAt)
VARNEL_SAME_FIGURE(connections);
VARNEL_SAME_FIGURE(failures);
VARNEL_SAME_FIGURE(packages);
VARNEL_SAME_FIGURE(bytes);
VARNEL_SAME_FIGURE(handOvers);
VARNEL_SAME_FIGURE(emptyHandOvers);
VARNEL_SAME_FIGURE(largestHandOver);
VARNEL_SAME_FIGURE(packagesNotPopped);
VARNEL_SAME_FIGURE(callbackTotalNs);
VARNEL_SAME_FIGURE(callbackLongestNs);
VARNEL_SAME_FIGURE(lastReceiveTime);
VARNEL_SAME_FIGURE(connectedTime);
#undef VARNEL_SAME_FIGURE

#undef VARNEL_SAME_FIELD
#undef VARNEL_SAME_FIELD_AT

// The statistics record has one layout in 32-bit and 64-bit builds: its
// size first, then 8-byte fields at multiples of 8. Its first version is
// 120 bytes; later versions only append.
constexpr std::size_t statisticsVersion1Size = 120;
static_assert(sizeof(mirt_varnel_statistics) == statisticsVersion1Size &&
              alignof(mirt_varnel_statistics) == 8);
static_assert(std::is_standard_layout_v<mirt_varnel_statistics> &&
              std::is_trivially_copyable_v<mirt_varnel_statistics>);
#define VARNEL_STATISTICS_FIELD(field, offset, size)                                       \
  static_assert(offsetof(mirt_varnel_statistics, field) == (offset), "offset of " #field); \
  static_assert(sizeof(mirt_varnel_statistics::field) == (size), "size of " #field)
VARNEL_STATISTICS_FIELD(size, 0, 4);
VARNEL_STATISTICS_FIELD(connections, 8, 8);
VARNEL_STATISTICS_FIELD(failures, 16, 8);
VARNEL_STATISTICS_FIELD(packages, 24, 8);
VARNEL_STATISTICS_FIELD(bytes, 32, 8);
VARNEL_STATISTICS_FIELD(handOvers, 40, 8);
VARNEL_STATISTICS_FIELD(emptyHandOvers, 48, 8);
VARNEL_STATISTICS_FIELD(largestHandOver, 56, 8);
VARNEL_STATISTICS_FIELD(packagesNotPopped, 64, 8);
VARNEL_STATISTICS_FIELD(callbackTotalNs, 72, 8);
VARNEL_STATISTICS_FIELD(callbackLongestNs, 80, 8);
VARNEL_STATISTICS_FIELD(lastReceiveTime, 88, 16);
VARNEL_STATISTICS_FIELD(connectedTime, 104, 16);
#undef VARNEL_STATISTICS_FIELD

mirt_error_code toCErrorCode(VarnelException::ErrorCode code) noexcept {
  switch (code) {
    case VarnelException::ConnectionFailed:
      return MIRT_ERROR_CONNECTION_FAILED;
    case VarnelException::CommunicationError:
      return MIRT_ERROR_COMMUNICATION;
    case VarnelException::VersionMismatch:
      return MIRT_ERROR_VERSION_MISMATCH;
    default:
      return MIRT_ERROR_GENERAL;
  }
}

// The text and cause of the last exception converted on this thread, ""
// and none after a call that succeeded. When the text cannot be copied (no
// memory), `fallback` stands in for it.
struct LastError {
  std::string text;
  const char* fallback = nullptr;
  mirt_failure_cause cause = MIRT_CAUSE_NONE;

  void clear() noexcept {
    text.clear();  // keeps the capacity: no allocation, no throw
    fallback = nullptr;
    cause = MIRT_CAUSE_NONE;
  }

  void record(const char* what, mirt::FailureCause failureCause = mirt::FailureCause::None) noexcept {
    clear();
    cause = static_cast<mirt_failure_cause>(failureCause);
    try {
      text.assign(what != nullptr ? what : "");
    } catch (...) {
      fallback = "the error message could not be stored (out of memory)";
    }
  }

  const char* get() const noexcept { return fallback != nullptr ? fallback : text.c_str(); }
};

LastError& lastError() noexcept {
  thread_local LastError last;
  return last;
}

// The frame of every function with an error parameter: clears `error` and
// the last error text, runs `body` and returns its result; when `body`
// throws, writes the exception's C code to `error`, keeps its text and
// returns `failure` (nothing for a body without a result).
template <typename Body, typename... Failure>
auto guarded(mirt_error_code* error, Body&& body, Failure... failure) noexcept
    -> std::invoke_result_t<Body&> {
  using Result = std::invoke_result_t<Body&>;
  static_assert(sizeof...(Failure) == (std::is_void_v<Result> ? 0 : 1), "a failure value iff a result");
  if (error != nullptr) *error = MIRT_ERROR_NONE;
  LastError& last = lastError();
  last.clear();
  mirt_error_code code = MIRT_ERROR_GENERAL;
  try {
    return body();
  } catch (const VarnelExceptionImpl& e) {
    code = toCErrorCode(e.getErrorCode());
    last.record(e.what(), e.getFailureCause());
  } catch (const std::exception& e) {
    last.record(e.what());
  } catch (const VarnelException& e) {
    last.record(e.what());
  } catch (...) {
    last.record("exception of unknown type");
  }
  if (error != nullptr) *error = code;
  if constexpr (!std::is_void_v<Result>) return Result(failure...);
}

mirt::OstraDataStream* fromHandle(mirt_ostra_data_stream* stream) {
  return reinterpret_cast<mirt::OstraDataStream*>(stream);
}

mirt::OstraDataPackage* fromHandle(mirt_ostra_data_package* package) {
  return reinterpret_cast<mirt::OstraDataPackage*>(package);
}

// A C record from its C++ counterpart, whose layout the static_asserts
// above pin to be the same.
template <typename C, typename Cxx>
C sameLayout(const Cxx& value) {
  static_assert(sizeof(C) == sizeof(Cxx) && alignof(C) == alignof(Cxx));
  return std::bit_cast<C>(value);
}

struct Shape {
  std::size_t channels = 0;
  std::size_t samplesPerChannel = 0;
  bool operator==(const Shape&) const = default;
  std::size_t samples() const { return channels * samplesPerChannel; }
};

Shape shapeOf(const mirt::OstraDataPackage& package) {
  return {package.getChannelCount(), package.getSize()};
}

}  // namespace

extern "C" {

mirt_version_info mirt_get_version_info(void) {
  lastError().clear();
  return sameLayout<mirt_version_info>(mirt::getVersionInfo());
}

bool mirt_varnel_has_feature(const char* name) {
  lastError().clear();
  return mirt::hasFeature(name);
}

mirt_varnel* mirt_varnel_create(const char* address, mirt_varnel_callback callback, void* userData,
                                mirt_error_code* error) {
  return guarded(
      error,
      [&]() -> mirt_varnel* {
        auto converter = std::make_unique<CallbackConverter>(callback, userData);
        std::function<void(mirt::OstraDataStream*)> callbackCopy = converter->callback;
        // std::string cannot be made from a null pointer.
        if (address == nullptr) throw std::invalid_argument("mirt_varnel_create: the address is null");
        std::unique_ptr<mirt::Varnel> parser =
            mirt::createVarnel(std::string(address), std::move(callbackCopy));
        auto handle = std::make_unique<mirt_varnel>();
        handle->converter = std::move(converter);
        handle->parser = std::move(parser);
        return handle.release();
      },
      static_cast<mirt_varnel*>(nullptr));
}

void mirt_varnel_delete(mirt_varnel* handle, mirt_error_code* error) {
  guarded(error, [&] {
    if (handle == nullptr) return;
    // The call that makes the teardown's hand-over still uses the parser
    // after the callback: freeing it here would pull it from under that
    // call. The parser is kept; it can be deleted once that call returns.
    const auto* receiver = dynamic_cast<const OstraReceiver*>(handle->parser.get());
    if (receiver != nullptr && receiver->closingAroundCallback()) {
      throw VarnelExceptionImpl(
          "mirt_varnel_delete: not possible in the hand-over that mirt_varnel_disconnect or "
          "mirt_varnel_delete makes (that call still uses the parser); delete it once that call has returned",
          VarnelException::GeneralError);
    }
    // The connection is closed while the handle is whole, so that the
    // teardown's hand-over finds the parser in place (and refuses a delete
    // or connect from its callback). Inside an ordinary callback this
    // throws, and the parser's destruction below lets the connection wind
    // down on its own thread.
    try {
      handle->parser->disconnect();
    } catch (...) {
    }
    delete handle;
  });
}

void mirt_varnel_connect(mirt_varnel* handle, mirt_error_code* error) {
  guarded(error, [&] { handle->parser->connect(); });
}

void mirt_varnel_disconnect(mirt_varnel* handle, mirt_error_code* error) {
  guarded(error, [&] { handle->parser->disconnect(); });
}

bool mirt_varnel_is_connected(mirt_varnel* handle, mirt_error_code* error) {
  return guarded(
      error, [&] { return handle->parser->isConnected(); }, false);
}

mirt_connection_state mirt_varnel_get_state(mirt_varnel* handle, mirt_error_code* error) {
  return guarded(
      error,
      [&] {
        switch (handle->parser->getState()) {
          case ConnectionState::Connected:
            return MIRT_STATE_CONNECTED;
          case ConnectionState::Receiving:
            return MIRT_STATE_RECEIVING;
          case ConnectionState::NotConnected:
            return MIRT_STATE_NOT_CONNECTED;
          default:
            break;
        }
        // Reports the recorded error's code through `error`.
        handle->parser->getAsyncError();
        return MIRT_STATE_ERROR;
      },
      MIRT_STATE_ERROR);
}

void mirt_varnel_get_async_error(mirt_varnel* handle, mirt_error_code* error) {
  guarded(error, [&] { handle->parser->getAsyncError(); });
}

void mirt_varnel_set_tcp_timeout(mirt_varnel* handle, uint32_t timeout, mirt_error_code* error) {
  guarded(error, [&] { handle->parser->setTcpTimeout(timeout); });
}

void mirt_varnel_set_package_counter(mirt_varnel* handle, uint32_t count, mirt_error_code* error) {
  guarded(error, [&] { handle->parser->setPackageCounter(count); });
}

void mirt_varnel_set_wait_time_ms(mirt_varnel* handle, uint32_t milliseconds, mirt_error_code* error) {
  guarded(error, [&] { handle->parser->setWaitTimeMs(milliseconds); });
}

size_t mirt_varnel_get_statistics(mirt_varnel* handle, mirt_varnel_statistics* statistics,
                                  mirt_error_code* error) {
  return guarded(
      error,
      [&]() -> std::size_t {
        if (statistics == nullptr)
          throw std::invalid_argument("mirt_varnel_get_statistics: the record is null");
        const std::uint32_t size = statistics->size;
        if (size < statisticsVersion1Size) {
          throw std::invalid_argument("mirt_varnel_get_statistics: the record's size " +
                                      std::to_string(size) + " is below " +
                                      std::to_string(statisticsVersion1Size));
        }
        const mirt::VarnelStatistics figures = handle->parser->getStatistics();
        // Behind the size field: the figures this library knows (the C++
        // record, see the static_asserts above), then zeros for the fields
        // of a later version.
        const std::size_t known = std::min<std::size_t>(size, statisticsFiguresAt + sizeof figures);
        auto* bytes = reinterpret_cast<unsigned char*>(statistics);
        std::memcpy(bytes + statisticsFiguresAt, &figures, known - statisticsFiguresAt);
        std::memset(bytes + known, 0, size - known);
        return known;
      },
      std::size_t{0});
}

void mirt_varnel_set_receive_observer(mirt_varnel* handle, mirt_receive_observer observer, void* userData,
                                      mirt_error_code* error) {
  guarded(error, [&] {
    if (observer == nullptr) {
      handle->parser->setReceiveObserver({});
      return;
    }
    handle->parser->setReceiveObserver([observer, userData](const mirt::ReceivedBytes& bytes) {
      const auto record = sameLayout<mirt_received_bytes>(bytes);
      observer(&record, userData);
    });
  });
}

size_t mirt_ostra_data_stream_get_size(mirt_ostra_data_stream* stream, mirt_error_code* error) {
  return guarded(
      error, [&] { return fromHandle(stream)->getSize(); }, std::size_t{0});
}

mirt_ostra_data_package* mirt_ostra_data_stream_pop(mirt_ostra_data_stream* stream, mirt_error_code* error) {
  return guarded(
      error,
      [&] {
        // The caller owns the package from now on.
        return reinterpret_cast<mirt_ostra_data_package*>(fromHandle(stream)->pop().release());
      },
      static_cast<mirt_ostra_data_package*>(nullptr));
}

void mirt_ostra_data_package_delete(mirt_ostra_data_package* package, mirt_error_code* error) {
  guarded(error, [&] { delete fromHandle(package); });
}

size_t mirt_ostra_data_package_get_size(mirt_ostra_data_package* package, mirt_error_code* error) {
  return guarded(
      error, [&] { return fromHandle(package)->getSize(); }, std::size_t{0});
}

size_t mirt_ostra_data_package_get_channel_count(mirt_ostra_data_package* package, mirt_error_code* error) {
  return guarded(
      error, [&] { return fromHandle(package)->getChannelCount(); }, std::size_t{0});
}

size_t mirt_ostra_data_package_get_waveform(mirt_ostra_data_package* package, uint32_t* buffer,
                                            size_t bufferSize, uint32_t channel, mirt_error_code* error) {
  return guarded(
      error,
      [&]() -> std::size_t {
        if (buffer == nullptr) return 0;
        const std::vector<std::uint32_t>& samples = fromHandle(package)->getWaveform(std::size_t{channel});
        const std::size_t n = std::min(samples.size(), bufferSize);
        std::copy_n(samples.begin(), n, buffer);
        return n;
      },
      std::size_t{0});
}

uint32_t mirt_ostra_data_package_get_waveform_type(mirt_ostra_data_package* package, size_t channel,
                                                   mirt_error_code* error) {
  return guarded(
      error, [&] { return fromHandle(package)->getWaveformType(channel); }, std::uint32_t{0});
}

mirt_ostra_meta_data mirt_ostra_data_package_get_meta_data(mirt_ostra_data_package* package,
                                                           mirt_error_code* error) {
  return guarded(
      error, [&] { return sameLayout<mirt_ostra_meta_data>(fromHandle(package)->getMetaData()); },
      mirt_ostra_meta_data{});
}

mirt_receive_time mirt_ostra_data_package_get_receive_time(mirt_ostra_data_package* package,
                                                           mirt_error_code* error) {
  return guarded(
      error, [&] { return sameLayout<mirt_receive_time>(fromHandle(package)->getReceiveTime()); },
      mirt_receive_time{});
}

size_t mirt_ostra_data_stream_pop_batch(mirt_ostra_data_stream* stream, size_t maxPackages,
                                        mirt_ostra_meta_data* metaData, uint32_t* waveformTypes,
                                        uint32_t* samples, size_t sampleCapacity, uint32_t* channels,
                                        uint32_t* samplesPerChannel, mirt_error_code* error) {
  return mirt_ostra_data_stream_pop_batch_timed(stream, maxPackages, metaData, nullptr, waveformTypes,
                                                samples, sampleCapacity, channels, samplesPerChannel, error);
}

size_t mirt_ostra_data_stream_pop_batch_timed(mirt_ostra_data_stream* stream, size_t maxPackages,
                                              mirt_ostra_meta_data* metaData, mirt_receive_time* receiveTimes,
                                              uint32_t* waveformTypes, uint32_t* samples,
                                              size_t sampleCapacity, uint32_t* channels,
                                              uint32_t* samplesPerChannel, mirt_error_code* error) {
  return guarded(
      error,
      [&]() -> std::size_t {
        // Streams reach C callers only through the library's callback.
        auto* impl = static_cast<OstraDataStreamImpl*>(fromHandle(stream));
        const mirt::OstraDataPackage* first = impl->front();
        const Shape shape = first != nullptr ? shapeOf(*first) : Shape{};
        if (channels != nullptr) *channels = static_cast<uint32_t>(shape.channels);
        if (samplesPerChannel != nullptr) *samplesPerChannel = static_cast<uint32_t>(shape.samplesPerChannel);
        const std::size_t perPackage = shape.samples();
        std::size_t limit = maxPackages;
        if (perPackage != 0) limit = std::min(limit, samples != nullptr ? sampleCapacity / perPackage : 0);
        std::size_t taken = 0;
        while (taken < limit && impl->front() != nullptr && shapeOf(*impl->front()) == shape) {
          const std::unique_ptr<mirt::OstraDataPackage> package = impl->pop();
          if (metaData != nullptr) metaData[taken] = sameLayout<mirt_ostra_meta_data>(package->getMetaData());
          if (receiveTimes != nullptr) {
            receiveTimes[taken] = sameLayout<mirt_receive_time>(package->getReceiveTime());
          }
          if (waveformTypes != nullptr) {
            for (std::size_t c = 0; c < package::maxChannels; ++c) {
              waveformTypes[package::maxChannels * taken + c] =
                  c < shape.channels ? package->getWaveformType(c) : 0;
            }
          }
          for (std::size_t c = 0; c < shape.channels; ++c) {
            const std::vector<std::uint32_t>& channel = package->getWaveform(c);
            std::copy_n(channel.data(), shape.samplesPerChannel,
                        samples + taken * perPackage + c * shape.samplesPerChannel);
          }
          ++taken;
        }
        return taken;
      },
      std::size_t{0});
}

const char* mirt_get_last_error_message(void) { return lastError().get(); }

mirt_failure_cause mirt_get_last_failure_cause(void) { return lastError().cause; }

}  // extern "C"
