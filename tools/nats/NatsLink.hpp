#pragma once

// The tools' connection to NATS with JetStream, over the C client: one
// connection that reconnects by itself for as long as it lives, and the
// JetStream context on it.

#include <nats/nats.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace natslink {

/// A NATS call that failed; the text names what was tried and why it failed.
struct NatsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// The client's text for `status`, with the JetStream error code when there
/// is one and the client's last error when it says more.
std::string statusText(natsStatus status, jsErrCode code = static_cast<jsErrCode>(0));

/// Throws NatsError "WHAT: TEXT" unless `status` is NATS_OK.
void check(natsStatus status, const std::string& what, jsErrCode code = static_cast<jsErrCode>(0));

/// True for a URL the tools take: nats://HOST[:PORT], several separated by
/// commas (the servers of one cluster).
bool isNatsUrl(std::string_view text);

/// True when the subject `subject` falls under the stream subject `pattern`
/// (tokens separated by '.', '*' one token, '>' the rest).
bool subjectMatches(std::string_view pattern, std::string_view subject);

/// True for the subject of one board: tokens that are neither empty nor
/// wildcards, nothing blank. The packages of one subject make one byte
/// stream; a wildcard would mix boards.
bool isOneSubject(std::string_view subject);

/// What the connection reports on the client's own thread.
struct LinkEvents {
  std::function<void()> disconnected;
  /// The URL of the server connected to again.
  std::function<void(const std::string& url)> reconnected;
  /// The client closed the connection for good by itself (it stopped
  /// reconnecting, say after the server refused its credentials), with
  /// the client's last error: nothing more goes through this link.
  std::function<void(const std::string& why)> closed;
};

class Link {
 public:
  /// Connects to one of `urls` (see isNatsUrl) as `name`, waiting up to
  /// `connectTimeoutMs` for each server, and opens the JetStream context
  /// with `options` (the client's defaults without). Once connected it
  /// reconnects by itself after a loss, every 250 ms, without end; what is
  /// published meanwhile waits in the client (up to 64 MiB). Throws
  /// NatsError when no server answers.
  Link(const std::string& urls, const std::string& name, LinkEvents events = {},
       const jsOptions* options = nullptr, std::int64_t connectTimeoutMs = 2000);
  /// Closes the connection; messages not yet sent are lost.
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  natsConnection* connection() const { return connection_; }
  jsCtx* jetStream() const { return jetStream_; }
  /// True while the connection is up (not while reconnecting).
  bool connected() const;
  /// The largest message payload the server takes.
  std::int64_t maxPayload() const;

 private:
  // The events, reachable by the client's callback thread until the
  // connection's last callback (closed) releases them; the link turns them
  // off before it closes the connection.
  struct Callbacks;
  static void onDisconnected(natsConnection*, void* callbacks);
  static void onReconnected(natsConnection*, void* callbacks);
  static void onClosed(natsConnection*, void* callbacks);
  void close();

  Callbacks* callbacks_ = nullptr;
  natsOptions* options_ = nullptr;
  natsConnection* connection_ = nullptr;
  jsCtx* jetStream_ = nullptr;
};

/// Tears the client library down once every link is gone, waiting (at most
/// two seconds) for its threads to end: no callback runs after it.
void closeLibrary();

/// Fails with a clear text when no stream of the server holds `subject`
/// (NatsError "no JetStream stream holds the subject ...").
void requireStream(jsCtx* jetStream, const std::string& subject);

}  // namespace natslink
