#pragma once

// varnel-monitor nats://HOST[:PORT]/SUBJECT: the monitor watches a board
// through JetStream. The hand-overs of the subject are served, as a board
// would serve them, on a loopback address of the monitor's own (see
// nats/SubjectServer.hpp), and the monitor's parser connects there: the
// library reads them as it reads a board, so the summary, the gaps, the
// failure causes, --record and --capture are those of a board.

#include <memory>
#include <string>
#include <string_view>

namespace monitor {

class NatsSource {
 public:
  /// True for an ADDRESS that names a subject through NATS (nats://...).
  static bool names(std::string_view address);
  /// What is wrong with such an ADDRESS as text (no subject, not the
  /// subject of one board, a build without NATS); empty when nothing is.
  static std::string problem(const std::string& url);

  /// Connects to NATS, checks that a stream holds the subject and starts
  /// serving it from the start of the stream. Throws std::runtime_error with
  /// a text for people (NATS cannot be reached, no stream holds the subject,
  /// no SUBJECT in the URL, a build without NATS).
  explicit NatsSource(const std::string& url);
  /// Stops serving.
  ~NatsSource();
  NatsSource(const NatsSource&) = delete;
  NatsSource& operator=(const NatsSource&) = delete;

  /// The numeric loopback address the parser connects to.
  const std::string& address() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace monitor
