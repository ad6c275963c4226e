#pragma once

// One hand-over of a board as a NATS message: the payload is the packages
// exactly as the board sent them, one after the other (so a client of the
// board's protocol reads it as it would the board), and headers describe
// it:
//
//   Varnel-Board           the board's name (the subject is varnel.NAME)
//   Varnel-Count           packages in the payload (at least 1)
//   Varnel-First           headerValue of the first package
//   Varnel-Last            headerValue of the last package
//   Varnel-Receive-First   when the bridge received the first package,
//   Varnel-Receive-Last    and the last: ns since 1970-01-01 UTC
//   Nats-Msg-Id            NAME:RUN:N, N counting the board's messages of
//                          the bridge's run RUN
//
// A message published again keeps its id, so JetStream drops the copy.
// Every other message has an id of its own, also when a board sends the
// same packages again (a board that starts its numbering anew while its
// inputs are still): RUN is drawn afresh when a bridge starts.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace handover {

inline constexpr const char* boardHeader = "Varnel-Board";
inline constexpr const char* countHeader = "Varnel-Count";
inline constexpr const char* firstHeader = "Varnel-First";
inline constexpr const char* lastHeader = "Varnel-Last";
inline constexpr const char* receiveFirstHeader = "Varnel-Receive-First";
inline constexpr const char* receiveLastHeader = "Varnel-Receive-Last";
inline constexpr const char* idHeader = "Nats-Msg-Id";

/// The subjects of the boards: varnel.NAME.
inline constexpr std::string_view subjectPrefix = "varnel.";

/// Smallest and largest package the board's framing allows.
inline constexpr std::uint32_t smallestPackage = 36;
inline constexpr std::uint32_t largestPackage = 65536;

/// True for a board name that can stand in a subject: letters, digits, '-'
/// and '_', 1 to 64 of them.
bool validName(std::string_view name);

/// "NAME:RUN:N": message `n` of board `board` in the bridge's run `run`.
std::string messageId(std::string_view board, std::string_view run, std::uint64_t n);
/// A run's mark: 16 random hex digits.
std::string newRun();

/// packageSize (offset 4) and headerValue (offset 8) of the package at
/// `data`, which holds at least 16 bytes.
std::uint32_t packageSize(const std::uint8_t* data);
std::uint64_t headerValue(const std::uint8_t* data);

/// Where each package of a payload begins. Nothing when the payload does
/// not cut into whole packages of the allowed sizes, or a package's header
/// has what every client refuses (another protocol version, more than
/// eight channels, a sample area larger than a package can carry); `why`
/// then says where it fails.
std::optional<std::vector<std::size_t>> cutPackages(const std::uint8_t* payload, std::size_t size,
                                                    std::string& why);

/// The headers a consumer reads of a hand-over, checked against its payload.
struct Described {
  std::uint64_t count = 0;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};
/// Checks that a message is a hand-over: Varnel-Count, Varnel-First and
/// Varnel-Last present and numbers, and the payload exactly that many
/// packages from the first number to the last. `header` looks a header up
/// (nothing when the message has none of that name). Nothing with `why`
/// saying what is wrong otherwise.
using HeaderLookup = std::function<std::optional<std::string>(const char* name)>;
std::optional<Described> check(const HeaderLookup& header, const std::uint8_t* payload, std::size_t size,
                               std::string& why);

/// Cuts the board's byte stream into packages as the bytes come, for the
/// bridge, which hands the packages of each hand-over on exactly as the
/// board sent them: feed every read, then take the first `count` complete
/// packages.
class PackageCutter {
 public:
  /// Starts afresh (a new connection).
  void reset();
  /// Adds bytes that followed the previous ones.
  void feed(const std::uint8_t* data, std::size_t size);
  /// Complete packages waiting.
  std::size_t complete() const { return sizes_.size(); }
  /// Appends the first `count` complete packages (at most complete()) to
  /// `out` and forgets them.
  void take(std::size_t count, std::vector<std::uint8_t>& out);
  /// headerValue of complete package `index` (below complete()).
  std::uint64_t number(std::size_t index) const;
  /// Set when a package's size is outside what the board may send: the
  /// receiver refuses it and ends the connection, so nothing after it is
  /// cut.
  bool broken() const { return broken_; }

 private:
  void cut();

  std::vector<std::uint8_t> bytes_;   // from the first package not taken on
  std::vector<std::uint32_t> sizes_;  // of the complete packages at the front of bytes_
  std::size_t cutEnd_ = 0;            // where the complete packages end in bytes_
  bool broken_ = false;
};

}  // namespace handover
