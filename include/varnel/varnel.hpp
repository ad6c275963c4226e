// Varnel: client library for the live data stream of an Ostra6 board.
//
// The class interface. One parser (`mirt::Varnel`) per board: create it with
// `mirt::createVarnel`, set the three connection settings, `connect`, and
// receive batches of packages (`mirt::OstraDataStream`) in the callback on
// the library's I/O thread. Failures on that thread are recorded and surface
// through `getState`, `getAsyncError`, `disconnect` and `setTcpTimeout`.
//
// ABI: the order of the virtual operations of every class below is fixed;
// applications built against this header call them by position. New
// operations are only ever appended.
#ifndef VARNEL_VARNEL_HPP
#define VARNEL_VARNEL_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "varnel/varnel_export.h"

namespace mirt {

/// The library's version; `getVersionInfo` reports 1.1.0.
struct VersionInfo {
  std::int32_t major;
  std::int32_t minor;
  std::int32_t patch;
};

/// The meta data of one package, as the board sent it. The names of the
/// numbered fields give the package offset they were read from. The 64-bit
/// fields are aligned to 8 bytes in every build, so the record has one
/// layout (96 bytes) for 32-bit and 64-bit applications alike.
struct OstraMetaData {
  std::uint32_t statusWord;              // header offset 20; bit 30: stream goes on
  alignas(8) std::uint64_t headerValue;  // header offset 8
  std::uint32_t word36;
  std::uint32_t dspVersion;
  std::uint32_t firmwareVersion;
  std::uint32_t biosVersion;
  std::uint32_t word52;
  std::uint32_t word56;
  std::uint32_t word60;
  std::uint32_t word64;
  std::uint32_t word68;
  alignas(8) double real72;
  alignas(8) double real80;
  std::uint32_t word88;
  std::uint32_t word92;
  std::uint32_t word96;
  std::uint16_t half100;
  std::uint16_t half102;
  std::uint32_t word104;
  std::uint32_t word108;
};

/// When a package arrived: the moment the read that completed it returned,
/// on two clocks. One read often completes many packages, which then share
/// the time. The 64-bit fields are aligned to 8 bytes in every build.
struct ReceiveTime {
  alignas(8) std::int64_t systemTimeNs;  ///< system clock: ns since 1970-01-01 UTC (may jump)
  alignas(8) std::int64_t steadyTimeNs;  ///< steady clock (std::chrono::steady_clock): ns, for intervals
};

/// What a parser has done since it was created; nothing resets the
/// figures. Each figure is read on its own, so a snapshot taken while
/// packages arrive may have, say, the packages of one read counted but not
/// yet their bytes. Written by the parser's I/O thread (failures also by the
/// thread that gives a connect up), read without a lock.
struct VarnelStatistics {
  /// Connections established (connect completed and was taken).
  alignas(8) std::uint64_t connections;
  /// Failures recorded as the asynchronous error: failed connects and
  /// connections that failed later (one each).
  std::uint64_t failures;
  /// Packages received complete and accepted by the checks.
  std::uint64_t packages;
  /// Their bytes on the wire (the packages' sizes, headers included).
  std::uint64_t bytes;
  /// Calls of the callback (hand-overs), empty ones included.
  std::uint64_t handOvers;
  /// Hand-overs without a package (the wait time passed with none).
  std::uint64_t emptyHandOvers;
  /// The most packages one hand-over held.
  std::uint64_t largestHandOver;
  /// Packages the callback left in the stream, which were destroyed when
  /// it returned without ever being popped.
  std::uint64_t packagesNotPopped;
  /// Time spent in the callback, all hand-overs together, in ns (steady clock).
  std::uint64_t callbackTotalNs;
  /// The longest single call of the callback, in ns.
  std::uint64_t callbackLongestNs;
  /// The receive time of the last package received; zeros before the first.
  ReceiveTime lastReceiveTime;
  /// When the current connection was established; zeros while there is
  /// none (before the first connect, after a failure or a disconnect).
  ReceiveTime connectedTime;
};

/// The application's view of the connection.
enum class ConnectionState : std::int32_t {
  Connected = 0,     ///< connected; no unfinished stream handed over
  Receiving = 1,     ///< a stream the board has not finished was handed over
  NotConnected = 2,  ///< idle, connecting or disconnected
  Error = 3          ///< an asynchronous error is recorded (see getAsyncError)
};

/// What a receive observer (Varnel::setReceiveObserver) is told on the
/// parser's I/O thread, for a capture of the raw byte stream: the start of
/// a connection, the bytes of every read from the board, and how the board
/// ended the connection. The pointers are valid only during the call.
struct ReceivedBytes {
  enum Event : std::int32_t {
    Connected = 0,  ///< the connection to the board is established
    Data = 1,       ///< one read brought `size` bytes at `data`
    Closed = 2,     ///< the board closed the connection in order (end of stream)
    Reset = 3,      ///< the board reset the connection
    Failed = 4      ///< the connection failed otherwise; `text` says how
  };
  Event event;
  /// When the read returned (Connected: when the connect completed), on the
  /// system clock: nanoseconds since 1970-01-01 UTC.
  alignas(8) std::int64_t receiveTimeNs;
  const std::uint8_t* data;  ///< Data: the bytes read; else null
  std::size_t size;          ///< Data: their count (never 0); else 0
  /// The connection's numeric addresses and ports, in every event.
  const char* localAddress;
  const char* boardAddress;
  std::uint16_t localPort;
  std::uint16_t boardPort;
  /// Closed, Reset, Failed: the system's text for the end; else "".
  const char* text;
};

/// What ended a connection or made a connect fail, as a value to branch on
/// (the message text says the same for people, and may change). Recorded
/// with the first asynchronous error and read with it: see
/// VarnelException::getFailureCause. The values are fixed.
enum class FailureCause : std::int32_t {
  None = 0,                   ///< no failure of a connection (success, or a wrong call or argument)
  Refused = 1,                ///< connect: the board's host refused (nothing listens on the port)
  Unreachable = 2,            ///< connect: no route to the board's host or network
  ConnectTimedOut = 3,        ///< connect: no answer within the TCP timeout
  ClosedBetweenPackages = 4,  ///< the board closed the connection where a package would begin
  ClosedInsidePackage = 5,    ///< the board closed the connection inside a header or a body
  Reset = 6,                  ///< the board reset the connection (also while connecting)
  DeadLink = 7,               ///< the board stopped answering (keepalive probes, or the network
                              ///< reports it unreachable) on an established connection
  MalformedHeader = 8,        ///< a header was refused: empty, or sizes or channels out of range
  MalformedBody = 9,          ///< a body was refused (shorter than its header says)
  WrongProtocolVersion = 10,  ///< a header carried another protocol version (VersionMismatch)
  BoardTooOld = 11,           ///< the board's versions are below the minimum (VersionMismatch)
  CallbackThrew = 12,         ///< the application's callback threw
  Other = 13                  ///< any other failure (a system call, an internal error)
};

/// The exception type of the library. Every exception the library throws is
/// also a `std::runtime_error`, so it can be caught as either.
class VARNEL_API VarnelException {
 public:
  enum ErrorCode : std::int32_t {
    Unspecified = 0,         ///< no particular cause assigned
    ConnectionFailed = 1,    ///< connect() failed to establish the connection
    CommunicationError = 2,  ///< TCP exchange failed, or a package was malformed
    GeneralError = 3,        ///< any other failure
    VersionMismatch = 4      ///< wrong protocol version or board firmware too old
  };

  VarnelException();
  VarnelException(const VarnelException& other);
  VarnelException& operator=(const VarnelException& other);
  virtual ~VarnelException();

  /// The message text; never null, valid while the exception lives.
  virtual const char* what() const noexcept = 0;
  /// The code given when the exception was raised.
  virtual ErrorCode getErrorCode() const noexcept = 0;
  /// What ended the connection or made the connect fail, for an exception
  /// that reports a recorded failure (thrown by connect, disconnect,
  /// getAsyncError and setTcpTimeout): taken with the code and the text in
  /// one reading of the parser's state, so the three always belong
  /// together. None for any other exception. Not pure, so that an
  /// application's own implementations of this class stay complete: theirs
  /// report None unless they override it.
  virtual FailureCause getFailureCause() const noexcept;
};

/// The meta data, waveform types and samples of one board package.
/// A package never changes; none of its operations blocks.
class VARNEL_API OstraDataPackage {
 public:
  OstraDataPackage();
  OstraDataPackage(const OstraDataPackage& other);
  OstraDataPackage& operator=(const OstraDataPackage& other);
  virtual ~OstraDataPackage();

  /// Samples per channel (the length of channel 0; 0 without channels).
  virtual std::size_t getSize() const = 0;
  /// Number of channels the package carries (0 to 8).
  virtual std::size_t getChannelCount() const = 0;
  /// Samples of `channel` (0 to 7), in wire order; empty for a channel at or
  /// beyond getChannelCount(). Valid while the package lives.
  /// Throws VarnelException (GeneralError) for a channel of 8 or more.
  virtual const std::vector<std::uint32_t>& getWaveform(std::size_t channel) const = 0;
  /// Waveform type code of `channel`.
  /// Throws VarnelException (GeneralError) for a channel at or beyond
  /// getChannelCount().
  virtual std::uint32_t getWaveformType(std::size_t channel) const = 0;
  /// The package's meta data; valid while the package lives.
  virtual const OstraMetaData& getMetaData() const = 0;
  /// When the package arrived (see ReceiveTime). Never throws. Not pure,
  /// so that an application's own implementations of this class stay
  /// complete: theirs report zeros unless they override it.
  virtual ReceiveTime getReceiveTime() const;
};

/// A batch of packages handed to the callback. The pointer the callback
/// receives is valid only during that call: packages not popped are
/// destroyed when it returns. A callback that throws ends the connection
/// (CallbackThrew) and keeps the packages it did not pop in the stream:
/// they come first in the first batch of the next connection.
class VARNEL_API OstraDataStream {
 public:
  OstraDataStream();
  OstraDataStream(const OstraDataStream& other);
  OstraDataStream& operator=(const OstraDataStream& other);
  virtual ~OstraDataStream();

  /// Number of packages held.
  virtual std::size_t getSize() const = 0;
  /// Takes the oldest package out; the caller owns it from now on, also
  /// after the parser is gone. Empty when the stream holds none. Never throws.
  virtual std::unique_ptr<OstraDataPackage> pop() = 0;
};

/// One parser per board. Its operations are meant to be called from one
/// application thread at a time; getState, isConnected and getAsyncError may
/// be called while the library's I/O thread is delivering.
class VARNEL_API Varnel {
 public:
  Varnel();
  Varnel(const Varnel& other);
  Varnel& operator=(const Varnel& other);
  /// Disconnects (waiting for the I/O thread) and releases everything the
  /// parser made; never throws. Destroying the parser from inside its own
  /// callback (or receive observer) is allowed, also while connect() has
  /// not returned yet: the connection then stops after the callback returns
  /// and winds itself down on the library's thread, and connect() returns
  /// normally. Not from inside the hand-over that disconnect() or this
  /// destruction makes: that call still uses the parser.
  virtual ~Varnel();

  /// Connects to the board (port 63751) and blocks until the connection is
  /// established or has failed, at most about the TCP timeout in seconds.
  /// Does nothing while a healthy connection exists; a connection that has
  /// failed (state Error) is discarded without throwing its error, and a
  /// new attempt starts. Returns once the connection is established, also
  /// when it has failed again before connect() returns (the board closed
  /// it, its first package was refused): that failure is reported like any
  /// failure of an established connection (state Error, getAsyncError).
  /// Throws VarnelException (ConnectionFailed) with the recorded cause only
  /// for an attempt that never got established, and then nothing of the
  /// attempt runs on: the callback is not called for it. An address that is
  /// not a numeric IPv4 or IPv6 address (a host name, a port suffix, an
  /// empty text) throws VarnelException (GeneralError) with a text naming
  /// the address; nothing is recorded then and the state stays NotConnected.
  /// Called inside the hand-over that disconnect() or the parser's
  /// destruction makes, it throws VarnelException (GeneralError) and
  /// changes nothing.
  virtual void connect() = 0;
  /// Closes the connection (waiting for the I/O thread), then throws the
  /// recorded asynchronous error, if any. The packages collected since the
  /// last hand-over are handed to the callback before it returns, in one
  /// hand-over with those the last read brought (a stream the board ended
  /// among them still ends its own hand-over); a callback that runs
  /// meanwhile finishes first. What the board sends from then on is not
  /// read. Called
  /// from inside the callback it throws VarnelException (GeneralError) and
  /// changes nothing.
  virtual void disconnect() = 0;
  /// True exactly when getState() is Connected or Receiving.
  virtual bool isConnected() = 0;
  /// The current state; never throws.
  virtual ConnectionState getState() = 0;
  /// Throws the recorded asynchronous error as VarnelException, if there is
  /// one (state Error), with its code, text and cause; returns normally
  /// otherwise.
  virtual void getAsyncError() = 0;
  /// The TCP timeout t in seconds (0 counts as 1; default 10): connect gives
  /// up after about t s, and a board that stops answering (switched off,
  /// cable pulled) is reported after about t s without a byte from it (the
  /// system probes the idle connection; never before t, at most 2t + 2 s).
  /// A board that is alive but sends nothing stays connected. The probing
  /// takes the value of the moment the connection is established. Throws
  /// the recorded asynchronous error first, if there is one.
  virtual void setTcpTimeout(std::uint32_t timeout) = 0;
  /// Number of packages at which a stream is handed over (default 25; 0 is
  /// ignored). Takes effect at the next connect.
  virtual void setPackageCounter(std::uint32_t count) = 0;
  /// Longest time between two hand-overs in milliseconds (default 250; 0 is
  /// ignored). Takes effect at the next connect.
  virtual void setWaitTimeMs(std::uint32_t milliseconds) = 0;
  /// What the parser has done since it was created (see VarnelStatistics).
  /// May be called from any thread at any time, the callback included;
  /// takes no lock and never throws. Not pure, like getReceiveTime: an
  /// application's own implementation reports zeros unless it overrides it.
  virtual VarnelStatistics getStatistics() const;
  /// Sets the function that sees the raw bytes read from the board (an
  /// empty one removes it; none by default), for capturing the stream. It
  /// runs on the I/O thread before the bytes are checked, so it also sees
  /// what the library then refuses; like the callback it must return soon,
  /// and the callback's rules hold for it (disconnect() throws inside it,
  /// destroying the parser is allowed). An exception from it ends the
  /// connection with a recorded error (GeneralError, "receiveObserver:
  /// ...", cause Other). Without an observer reading
  /// costs nothing more. Takes effect at the next connect. Not pure, like
  /// getStatistics: an application's own implementation ignores it unless
  /// it overrides it.
  virtual void setReceiveObserver(std::function<void(const ReceivedBytes&)> observer);
};

/// The library's version: 1.1.0.
VARNEL_API VersionInfo getVersionInfo();

/// Whether this library offers `name`, an addition to the interface of its
/// version (which stays 1.1.0 for such additions): "last_error_message"
/// (mirt_get_last_error_message), "pop_batch" and "pop_batch_timed"
/// (mirt_ostra_data_stream_pop_batch, ..._timed), "receive_time"
/// (OstraDataPackage::getReceiveTime), "statistics" (Varnel::getStatistics),
/// "failure_cause" (VarnelException::getFailureCause) and "receive_observer"
/// (Varnel::setReceiveObserver). False for any other name and for null.
/// Whether a library has this function at all is told by its symbol
/// (mirt_varnel_has_feature, for a program that loads the library itself).
VARNEL_API bool hasFeature(const char* name) noexcept;

/// Creates a parser for the board at `address` (numeric IPv4 or IPv6 text,
/// parsed at each connect) that hands data streams to `callback` on its I/O
/// thread. Connects nothing and starts no thread. Throws VarnelException
/// (GeneralError, "createVarnel failed: ...") when the parser cannot be made.
VARNEL_API std::unique_ptr<Varnel> createVarnel(const std::string& address,
                                                std::function<void(OstraDataStream*)> callback);

}  // namespace mirt

#endif  // VARNEL_VARNEL_HPP
