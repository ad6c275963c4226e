#include "bridge/Publisher.hpp"

#include <algorithm>
#include <cstdio>

#include "nats/HandOver.hpp"

namespace bridge {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// A failed publish is repeated after this wait (a cluster electing a new
// leader for the stream answers at once that nobody serves it).
constexpr Clock::duration retryWait = 250ms;
// Room for the headers beside a payload within the server's largest
// message.
constexpr std::size_t headerRoom = 1024;

std::string seconds(std::int64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(ns) / 1e9);
  return text;
}

}  // namespace

Publisher::Publisher(PublisherSettings settings, std::vector<std::string> boards, Log log, Log info,
                     std::string& notes)
    : settings_(std::move(settings)),
      log_(std::move(log)),
      info_(std::move(info)),
      sink_(std::make_unique<AckSink>()) {
  sink_->publisher = this;
  for (std::string& name : boards) {
    Board& b = boards_.emplace_back();
    b.subject = std::string(handover::subjectPrefix) + name;
    b.name = std::move(name);
  }
  jsOptions options;
  jsOptions_Init(&options);
  options.PublishAsync.AckHandler = &Publisher::onAck;
  options.PublishAsync.AckHandlerClosure = sink_.get();
  natslink::LinkEvents events;
  events.disconnected = [this] { info_("the connection to NATS is lost; hand-overs wait in the buffer"); };
  events.reconnected = [this](const std::string& url) {
    // The server now serving may take larger or smaller messages: read
    // again by the publishing thread (the link may be going away here).
    largestPayloadStale_.store(true);
    info_("connected to NATS again at " + url);
    changed_.notify_all();
  };
  events.closed = [this](const std::string& why) {
    log_("the NATS client gave up its connection (" + why + "): nothing more can be published; stopping");
    linkClosed_.store(true);
    changed_.notify_all();
  };
  link_ = std::make_unique<natslink::Link>(settings_.url, "varnel-bridge", std::move(events), &options);
  noteLargestPayload();
  ensureStream(notes);
  thread_ = std::thread([this] { run(); });
}

Publisher::~Publisher() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard lock(sink_->mutex);
    sink_->publisher = nullptr;
  }
  link_.reset();
  natslink::closeLibrary();
}

void Publisher::noteLargestPayload() {
  const std::int64_t most = link_->maxPayload();
  largestPayload_.store(most > static_cast<std::int64_t>(2 * headerRoom)
                            ? static_cast<std::size_t>(most) - headerRoom
                            : headerRoom);
}

// Makes the stream with the settings asked; says what was made.
std::string Publisher::createStream() {
  const StreamSettings& s = settings_.stream;
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  const std::string all = std::string(handover::subjectPrefix) + ">";
  const char* subjects[] = {all.c_str()};
  config.Name = s.name.c_str();
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Storage = js_FileStorage;
  if (s.maxAgeNs) config.MaxAge = *s.maxAgeNs;
  if (s.maxBytes) config.MaxBytes = *s.maxBytes;
  if (s.replicas) config.Replicas = *s.replicas;
  if (s.duplicateWindowNs) config.Duplicates = *s.duplicateWindowNs;
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  const natsStatus status = js_AddStream(&info, link_->jetStream(), &config, nullptr, &code);
  natslink::check(status, "cannot create the JetStream stream " + s.name + " for " + all, code);
  const std::string made = "the stream " + s.name + " (subjects " + all + ", file storage, " +
                           std::to_string(info->Config->Replicas) +
                           (info->Config->Replicas == 1 ? " replica)" : " replicas)");
  duplicateWindowNs_ = info->Config->Duplicates;
  jsStreamInfo_Destroy(info);
  return made;
}

// Nobody answered a publish: the stream may have been deleted under the
// bridge (the other cause, a cluster electing a leader, leaves it in
// place). It is made again as at the start, so that what the boards send
// is stored rather than held back until the buffer drops it.
void Publisher::remakeStreamIfGone() {
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  const natsStatus status =
      js_GetStreamInfo(&info, link_->jetStream(), settings_.stream.name.c_str(), nullptr, &code);
  jsStreamInfo_Destroy(info);
  if (status != NATS_NOT_FOUND) {
    streamGoneSeen_ = false;
    return;
  }
  // Made again only when it is still gone at the next look, a second
  // later: a server that has just deleted it may still be removing its
  // files, and would remove those of a stream made at once under the same
  // name (it then refuses to store).
  if (!streamGoneSeen_) {
    streamGoneSeen_ = true;
    return;
  }
  streamGoneSeen_ = false;
  try {
    log_("the stream " + settings_.stream.name + " is gone (deleted?): made " + createStream() + " again");
  } catch (const natslink::NatsError& e) {
    log_(std::string("the stream ") + settings_.stream.name + " is gone (deleted?): " + e.what());
  }
}

void Publisher::ensureStream(std::string& notes) {
  const StreamSettings& s = settings_.stream;
  jsCtx* js = link_->jetStream();
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = js_GetStreamInfo(&info, js, s.name.c_str(), nullptr, &code);
  if (status == NATS_NOT_FOUND) {
    notes = "created " + createStream();
    return;
  }
  natslink::check(status, "cannot look up the JetStream stream " + s.name, code);
  const jsStreamConfig& config = *info->Config;
  std::string theirs;
  for (int i = 0; i < config.SubjectsLen; ++i)
    theirs += (i == 0 ? "" : ", ") + std::string(config.Subjects[i]);
  for (const Board& b : boards_) {
    bool taken = false;
    for (int i = 0; i < config.SubjectsLen; ++i)
      taken = taken || natslink::subjectMatches(config.Subjects[i], b.subject);
    if (!taken) {
      jsStreamInfo_Destroy(info);
      throw natslink::NatsError("the stream " + s.name + " takes no messages of " + b.subject +
                                " (its subjects: " + (theirs.empty() ? "none" : theirs) +
                                "); name another with --stream");
    }
  }
  std::string differences;
  auto differs = [&](const std::string& what, const std::string& kept, const std::string& asked) {
    differences += (differences.empty() ? "" : ", ") + what + " " + kept + " (asked " + asked + ")";
  };
  if (s.maxAgeNs && *s.maxAgeNs != config.MaxAge)
    differs("max age", seconds(config.MaxAge), seconds(*s.maxAgeNs));
  if (s.maxBytes && *s.maxBytes != config.MaxBytes) {
    differs("max bytes", std::to_string(config.MaxBytes), std::to_string(*s.maxBytes));
  }
  if (s.replicas && *s.replicas != config.Replicas) {
    differs("replicas", std::to_string(config.Replicas), std::to_string(*s.replicas));
  }
  if (s.duplicateWindowNs && *s.duplicateWindowNs != config.Duplicates) {
    differs("duplicate window", seconds(config.Duplicates), seconds(*s.duplicateWindowNs));
  }
  duplicateWindowNs_ = config.Duplicates;
  notes = "the stream " + s.name + " exists (subjects " + theirs + ")";
  if (!differences.empty()) notes += "; it keeps its own settings: " + differences;
  jsStreamInfo_Destroy(info);
}

// Parts of whole packages, each within `largest` bytes. A package larger
// than that on its own can never be published: it is left out (its index
// in `tooLarge`), so that it does not hold back the board for ever.
std::vector<Publisher::Entry> Publisher::cut(HandOver& handOver, std::size_t largest,
                                             std::vector<std::size_t>& tooLarge) {
  const std::size_t count = handOver.numbers.size();
  std::vector<std::size_t> starts(count + 1, 0);  // of each package in the payload
  for (std::size_t i = 0; i < count; ++i)
    starts[i + 1] = starts[i] + handover::packageSize(handOver.payload.data() + starts[i]);
  std::vector<std::pair<std::size_t, std::size_t>> parts;  // package ranges
  std::size_t from = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t size = starts[i + 1] - starts[i];
    if (size > largest) {
      if (from < i) parts.emplace_back(from, i);
      tooLarge.push_back(i);
      from = i + 1;
    } else if (from < i && starts[i + 1] - starts[from] > largest) {
      parts.emplace_back(from, i);
      from = i;
    }
  }
  if (from < count) parts.emplace_back(from, count);

  std::vector<Entry> entries;
  for (const auto& [first, end] : parts) {
    Entry& e = entries.emplace_back();
    const auto begin = [](auto& v, std::size_t i) { return v.begin() + static_cast<std::ptrdiff_t>(i); };
    if (parts.size() == 1 && tooLarge.empty()) {
      e.payload = std::move(handOver.payload);
      e.numbers = std::move(handOver.numbers);
      e.receiveNs = std::move(handOver.receiveNs);
    } else {
      e.payload.assign(begin(handOver.payload, starts[first]), begin(handOver.payload, starts[end]));
      e.numbers.assign(begin(handOver.numbers, first), begin(handOver.numbers, end));
      e.receiveNs.assign(begin(handOver.receiveNs, first), begin(handOver.receiveNs, end));
    }
  }
  return entries;
}

// Under the lock: says the first package of board `b` dropped as too large,
// package `index` of `handOver` (which cut() left whole then).
void Publisher::sayTooLarge(Board& b, const HandOver& handOver, std::size_t index, std::size_t largest) {
  if (b.tooLargeSaid) return;
  b.tooLargeSaid = true;
  std::size_t at = 0;
  for (std::size_t i = 0; i < index; ++i) at += handover::packageSize(handOver.payload.data() + at);
  log_("package " + std::to_string(handOver.numbers[index]) + " of " + b.subject + " is " +
       std::to_string(handover::packageSize(handOver.payload.data() + at)) +
       " bytes, more than a message of this NATS server takes (" + std::to_string(largest + headerRoom) +
       " bytes with " + std::to_string(headerRoom) +
       " for the headers; its max_payload): such packages are dropped and counted as too large");
}

void Publisher::add(std::size_t board, HandOver handOver) {
  if (handOver.numbers.empty() || board >= boards_.size()) return;
  const std::size_t largest = largestPayload_.load();
  std::vector<std::size_t> tooLarge;
  std::vector<Entry> entries = cut(handOver, largest, tooLarge);
  {
    std::lock_guard lock(mutex_);
    Board& b = boards_[board];
    if (!tooLarge.empty()) {
      b.figures.tooLarge += tooLarge.size();
      sayTooLarge(b, handOver, tooLarge.front(), largest);
    }
    for (Entry& e : entries) {
      e.id = handover::messageId(b.name, run_, ++b.messages);
      e.arrival = ++arrivals_;
      bytes_ += e.payload.size();
      ++b.figures.handOvers;
      b.outbox.push_back(std::move(e));
    }
    dropOldest();
  }
  changed_.notify_all();
}

void Publisher::dropOldest() {
  while (bytes_ > settings_.bufferBytes) {
    Board* oldestBoard = nullptr;
    std::list<Entry>::iterator oldest;
    for (Board& b : boards_) {
      const auto it =
          std::find_if(b.outbox.begin(), b.outbox.end(), [](const Entry& e) { return !e.sentBefore; });
      if (it != b.outbox.end() && (oldestBoard == nullptr || it->arrival < oldest->arrival)) {
        oldestBoard = &b;
        oldest = it;
      }
    }
    if (oldestBoard == nullptr) return;  // all that is left has been sent at least once
    PublishFigures& f = oldestBoard->figures;
    if (!oldestBoard->dropping) {
      oldestBoard->dropping = true;
      log_("the buffer (" + std::to_string(settings_.bufferBytes) +
           " bytes) is full: dropping the oldest hand-overs of " + oldestBoard->subject + ", from " +
           std::to_string(oldest->numbers.front()) + " on");
    }
    ++f.dropped;
    f.droppedPackages += oldest->numbers.size();
    bytes_ -= oldest->payload.size();
    oldestBoard->outbox.erase(oldest);
  }
}

void Publisher::run() {
  std::unique_lock lock(mutex_);
  const auto ackWait = std::chrono::milliseconds(settings_.ackWaitMs);
  std::vector<Outgoing> outgoing;
  Clock::time_point lastStreamCheck;
  while (!stopping_) {
    changed_.wait_for(lock, 20ms);
    if (stopping_) break;
    const auto now = Clock::now();
    const bool up = link_->connected();
    if (largestPayloadStale_.exchange(false)) noteLargestPayload();
    for (std::size_t b = 0; b < boards_.size(); ++b) {
      std::size_t index = 0;
      for (Entry& e : boards_[b].outbox) {
        if (index++ == settings_.window) break;
        if (e.inFlight) {
          // The client ends a wait for an acknowledgment itself; this only
          // guards against one that it never ends.
          if (now - e.sentAt > ackWait + 2s) {
            e.inFlight = false;
            e.failed = true;
          }
          continue;
        }
        // A hand-over waiting to be repeated holds back those behind it.
        if (!up || now < e.notBefore) break;
        e.inFlight = true;
        e.sentAt = now;
        if (e.sentBefore) {
          ++boards_[b].figures.republished;
          // JetStream drops a copy only within its duplicate window.
          if (!e.lateRepeatSaid && duplicateWindowNs_ > 0 &&
              now - e.firstSentAt > std::chrono::nanoseconds(duplicateWindowNs_)) {
            e.lateRepeatSaid = true;
            log_("hand-over " + e.id + " is published again " +
                 seconds(std::chrono::duration_cast<std::chrono::nanoseconds>(now - e.firstSentAt).count()) +
                 " after its first try, later than the stream's duplicate window (" +
                 seconds(duplicateWindowNs_) + "): if that try was stored, the stream now holds it twice");
          }
        } else {
          ++boards_[b].figures.published;
          e.firstSentAt = now;
        }
        const bool repeat = e.sentBefore;
        e.sentBefore = true;
        outgoing.push_back(message(b, e));
        outgoing.back().repeat = repeat;
      }
    }
    // Handing a message to the client may write to its socket: not under
    // the lock, which the boards' callbacks take.
    lock.unlock();
    for (Outgoing& o : outgoing) {
      natsStatus status = o.status;
      if (status == NATS_OK) {
        jsPubOptions options;
        jsPubOptions_Init(&options);
        options.MsgId = o.id.c_str();
        options.MaxWait = settings_.ackWaitMs;
        status = js_PublishMsgAsync(link_->jetStream(), &o.msg, &options);
      }
      natsMsg_Destroy(o.msg);  // null once the client has taken it
      if (status == NATS_MAX_PAYLOAD) {
        // The server now serving takes smaller messages than the one the
        // hand-over was cut for: repeating it would never end.
        noteLargestPayload();
        std::lock_guard relock(mutex_);
        recut(o.board, o.id, o.repeat);
      } else if (status != NATS_OK) {
        std::lock_guard relock(mutex_);
        failed(o.board, o.id, natslink::statusText(status), status);
      }
    }
    outgoing.clear();
    if (streamCheckDue_.exchange(false) && Clock::now() - lastStreamCheck > 1s) {
      lastStreamCheck = Clock::now();
      remakeStreamIfGone();
    }
    lock.lock();
  }
}

// Under the lock: a copy of the entry's packages with the headers.
Publisher::Outgoing Publisher::message(std::size_t board, const Entry& entry) const {
  const Board& b = boards_[board];
  Outgoing o{board, entry.id, nullptr, NATS_OK};
  o.status =
      natsMsg_Create(&o.msg, b.subject.c_str(), nullptr, reinterpret_cast<const char*>(entry.payload.data()),
                     static_cast<int>(entry.payload.size()));
  const auto header = [&](const char* name, const std::string& value) {
    if (o.status == NATS_OK) o.status = natsMsgHeader_Set(o.msg, name, value.c_str());
  };
  header(handover::boardHeader, b.name);
  header(handover::countHeader, std::to_string(entry.numbers.size()));
  header(handover::firstHeader, std::to_string(entry.numbers.front()));
  header(handover::lastHeader, std::to_string(entry.numbers.back()));
  header(handover::receiveFirstHeader, std::to_string(entry.receiveNs.front()));
  header(handover::receiveLastHeader, std::to_string(entry.receiveNs.back()));
  return o;
}

// Under the lock: the publish of hand-over `id` failed; it is repeated
// after a little while.
void Publisher::failed(std::size_t board, const std::string& id, const std::string& why, natsStatus status) {
  if (status == NATS_NO_RESPONDERS) streamCheckDue_.store(true);
  Board& b = boards_[board];
  const auto e = std::find_if(b.outbox.begin(), b.outbox.end(),
                              [&](const Entry& entry) { return entry.inFlight && entry.id == id; });
  if (e == b.outbox.end()) return;
  e->inFlight = false;
  e->failed = true;
  e->notBefore = Clock::now() + retryWait;
  if (!b.failing) {
    b.failing = true;
    log_("publishing to " + b.subject + " failed: " + why + "; trying again");
  }
}

// Under the lock: the client refused hand-over `id` as larger than the
// server's largest message (a server taking smaller messages than the one
// it was cut for): it is cut again in its place, by the size now known, and
// only a package too large on its own is dropped.
void Publisher::recut(std::size_t board, const std::string& id, bool repeat) {
  Board& b = boards_[board];
  const auto e = std::find_if(b.outbox.begin(), b.outbox.end(),
                              [&](const Entry& entry) { return entry.inFlight && entry.id == id; });
  if (e == b.outbox.end()) return;
  const std::size_t largest = largestPayload_.load();
  const std::string entryId = e->id;
  HandOver whole{std::move(e->payload), std::move(e->numbers), std::move(e->receiveNs)};
  const std::size_t count = whole.numbers.size();
  bytes_ -= whole.payload.size();
  std::vector<std::size_t> tooLarge;
  std::vector<Entry> parts = cut(whole, largest, tooLarge);
  if (parts.size() == 1 && tooLarge.empty()) {
    // Cut as it was: the message is refused for what goes beside the
    // packages, which no cut mends; repeating it would never end.
    b.figures.tooLarge += count;
    if (b.figures.handOvers != 0) --b.figures.handOvers;
    b.outbox.erase(e);
    log_("hand-over " + entryId + " of " + b.subject +
         " is refused as too large for the NATS server although its packages fit: its headers take more than "
         "the " +
         std::to_string(headerRoom) + " bytes kept for them; dropped, " + std::to_string(count) +
         " packages counted as too large");
    return;
  }
  if (repeat) {
    log_("hand-over " + entryId +
         " is cut again for a server that takes smaller messages; if its earlier try was "
         "stored, the stream now holds its packages twice");
  }
  if (!tooLarge.empty()) {
    b.figures.tooLarge += tooLarge.size();
    sayTooLarge(b, whole, tooLarge.front(), largest);
  }
  for (Entry& part : parts) {
    part.id = handover::messageId(b.name, run_, ++b.messages);
    part.arrival = e->arrival;
    bytes_ += part.payload.size();
    b.outbox.insert(e, std::move(part));
  }
  if (!parts.empty())
    b.figures.handOvers += parts.size() - 1;
  else if (b.figures.handOvers != 0)
    --b.figures.handOvers;
  b.outbox.erase(e);
}

void Publisher::onAck(jsCtx*, natsMsg* msg, jsPubAck* ack, jsPubAckErr* error, void* sink) {
  auto& s = *static_cast<AckSink*>(sink);
  {
    std::lock_guard lock(s.mutex);
    if (s.publisher != nullptr) s.publisher->acknowledged(msg, ack, error);
  }
  // The handler owns the message it is given; a repeat is a new message.
  natsMsg_Destroy(msg);
}

void Publisher::acknowledged(natsMsg* msg, jsPubAck* ack, jsPubAckErr* error) {
  const char* subject = natsMsg_GetSubject(msg);
  const char* id = nullptr;
  if (subject == nullptr || natsMsgHeader_Get(msg, handover::idHeader, &id) != NATS_OK || id == nullptr)
    return;
  {
    std::lock_guard lock(mutex_);
    const auto board =
        std::find_if(boards_.begin(), boards_.end(), [&](const Board& b) { return b.subject == subject; });
    if (board == boards_.end()) return;
    // An acknowledgment of a publish given up on, whose repeat is on its
    // way, finds nothing in flight.
    std::size_t index = 0;
    auto e = board->outbox.begin();
    for (; e != board->outbox.end() && index < settings_.window; ++e, ++index) {
      if (e->inFlight && e->id == id) break;
    }
    if (e == board->outbox.end() || index == settings_.window) return;
    if (error == nullptr && ack != nullptr) {
      ++board->figures.acknowledged;
      if (ack->Duplicate) ++board->figures.duplicates;
      // The sequence is the stored copy's, also for a duplicate: a first
      // try stored in time is in order, whatever its acknowledgment did.
      const std::uint64_t at = ack->Sequence;
      if (e->laterStoredAt != 0 && at > e->laterStoredAt) {
        ++board->figures.reordered;
        log_("hand-over " + e->id + " is stored behind a later one (window " +
             std::to_string(settings_.window) + ")");
      }
      for (auto earlier = board->outbox.begin(); earlier != e; ++earlier) {
        if (earlier->laterStoredAt == 0 || at < earlier->laterStoredAt) earlier->laterStoredAt = at;
      }
      bytes_ -= e->payload.size();
      board->outbox.erase(e);
      board->dropping = false;
      if (board->failing) {
        board->failing = false;
        info_("publishing to " + board->subject + " works again");
      }
    } else {
      const std::string text = error != nullptr && error->ErrText != nullptr && *error->ErrText != '\0'
                                   ? std::string(error->ErrText)
                                   : natslink::statusText(error != nullptr ? error->Err : NATS_ERR);
      failed(static_cast<std::size_t>(board - boards_.begin()), e->id, text,
             error != nullptr ? error->Err : NATS_ERR);
    }
  }
  changed_.notify_all();
}

bool Publisher::drain(Clock::duration timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return std::all_of(boards_.begin(), boards_.end(), [](const Board& b) { return b.outbox.empty(); });
  });
}

PublishFigures Publisher::figures(std::size_t board) const {
  std::lock_guard lock(mutex_);
  const Board& b = boards_[board];
  PublishFigures f = b.figures;
  f.pending = b.outbox.size();
  for (const Entry& e : b.outbox) f.pendingBytes += e.payload.size();
  return f;
}

}  // namespace bridge
