#include "nats/NatsLink.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <vector>

namespace natslink {

namespace {

// Every message (up to the server's 1 MiB) is a block of its own, made and
// freed by the client or the tool. glibc maps blocks from 128 KiB up afresh
// and, once it has raised that line, gives the top of the heap back as soon
// as two such blocks lie free there: each message then cost fresh pages, a
// page fault per 4 KiB (over a third of what the NATS-fed board spent per
// message). With these lines, set once for the process, up to 64 MiB of
// freed blocks stay for reuse.
void keepMessageBlocks() {
#if defined(__GLIBC__)
  ::mallopt(M_MMAP_THRESHOLD, 4 << 20);
  ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

}  // namespace

std::string statusText(natsStatus status, jsErrCode code) {
  std::string text = natsStatus_GetText(status);
  natsStatus last = NATS_OK;
  const char* detail = nats_GetLastError(&last);
  if (detail != nullptr && *detail != '\0' && text != detail) text += std::string(" (") + detail + ")";
  if (code != 0) text += " [JetStream error " + std::to_string(static_cast<int>(code)) + "]";
  return text;
}

void check(natsStatus status, const std::string& what, jsErrCode code) {
  if (status != NATS_OK) throw NatsError(what + ": " + statusText(status, code));
}

bool isNatsUrl(std::string_view text) {
  constexpr std::string_view scheme = "nats://";
  if (text.empty()) return false;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    const std::string_view one = text.substr(at, comma - at);
    if (one.substr(0, scheme.size()) != scheme || one.size() == scheme.size()) return false;
    at = comma + 1;
  }
  return true;
}

bool subjectMatches(std::string_view pattern, std::string_view subject) {
  for (;;) {
    const std::size_t p = pattern.find('.');
    const std::size_t s = subject.find('.');
    const std::string_view token = pattern.substr(0, p);
    if (token == ">") return !subject.empty();
    if (subject.empty()) return false;
    if (token != "*" && token != subject.substr(0, s)) return false;
    if (p == std::string_view::npos || s == std::string_view::npos) {
      return p == std::string_view::npos && s == std::string_view::npos;
    }
    pattern.remove_prefix(p + 1);
    subject.remove_prefix(s + 1);
  }
}

bool isOneSubject(std::string_view subject) {
  if (subject.empty() || subject.front() == '.' || subject.back() == '.') return false;
  if (subject.find("..") != std::string_view::npos) return false;
  return subject.find_first_of("*> \t\r\n") == std::string_view::npos;
}

// Shared with the client's callbacks, and released by the last of two:
// the closed callback when the link closed the connection, else (the
// client closed it by itself before) the link's close().
struct Link::Callbacks {
  std::mutex mutex;
  bool live = true;             // the link has not begun to close
  bool closedByClient = false;  // the closed callback came while live
  LinkEvents events;
};

Link::Link(const std::string& urls, const std::string& name, LinkEvents events, const jsOptions* options,
           std::int64_t connectTimeoutMs)
    : callbacks_(new Callbacks) {
  keepMessageBlocks();
  callbacks_->events = std::move(events);
  try {
    check(natsOptions_Create(&options_), "NATS options");
    // The servers of a cluster, each tried in turn (the client takes them
    // as a list, not as one text).
    std::vector<std::string> servers;
    for (std::size_t at = 0; at <= urls.size();) {
      const std::size_t comma = std::min(urls.find(',', at), urls.size());
      servers.push_back(urls.substr(at, comma - at));
      at = comma + 1;
    }
    std::vector<const char*> list;
    for (const std::string& server : servers) list.push_back(server.c_str());
    check(natsOptions_SetServers(options_, list.data(), static_cast<int>(list.size())), "NATS URL " + urls);
    check(natsOptions_SetName(options_, name.c_str()), "NATS client name");
    check(natsOptions_SetTimeout(options_, connectTimeoutMs), "NATS connect timeout");
    check(natsOptions_SetMaxReconnect(options_, -1), "NATS reconnects");
    check(natsOptions_SetReconnectWait(options_, 250), "NATS reconnect wait");
    check(natsOptions_SetReconnectBufSize(options_, 64 * 1024 * 1024), "NATS reconnect buffer");
    // A dead server is noticed within about two seconds.
    check(natsOptions_SetPingInterval(options_, 1000), "NATS ping interval");
    check(natsOptions_SetMaxPingsOut(options_, 2), "NATS pings");
    check(natsOptions_SetDisconnectedCB(options_, &Link::onDisconnected, callbacks_), "NATS callbacks");
    check(natsOptions_SetReconnectedCB(options_, &Link::onReconnected, callbacks_), "NATS callbacks");
    check(natsOptions_SetClosedCB(options_, &Link::onClosed, callbacks_), "NATS callbacks");
    check(natsConnection_Connect(&connection_, options_), "cannot connect to NATS at " + urls);
    jsOptions defaults;
    jsOptions_Init(&defaults);
    check(natsConnection_JetStream(&jetStream_, connection_,
                                   options != nullptr ? const_cast<jsOptions*>(options) : &defaults),
          "JetStream context");
  } catch (...) {
    jsCtx_Destroy(jetStream_);
    if (connection_ != nullptr) {
      close();
    } else {
      delete callbacks_;  // no connection, no callback
    }
    natsOptions_Destroy(options_);
    throw;
  }
}

Link::~Link() {
  jsCtx_Destroy(jetStream_);
  close();
  natsOptions_Destroy(options_);
}

void Link::close() {
  bool releaseHere = false;
  {
    std::lock_guard lock(callbacks_->mutex);
    callbacks_->live = false;
    releaseHere = callbacks_->closedByClient;  // no closed callback comes any more
  }
  natsConnection_Close(connection_);
  natsConnection_Destroy(connection_);
  connection_ = nullptr;
  if (releaseHere) delete callbacks_;
  callbacks_ = nullptr;
}

bool Link::connected() const { return natsConnection_Status(connection_) == NATS_CONN_STATUS_CONNECTED; }

std::int64_t Link::maxPayload() const { return natsConnection_GetMaxPayload(connection_); }

void Link::onDisconnected(natsConnection*, void* callbacks) {
  auto& c = *static_cast<Callbacks*>(callbacks);
  std::lock_guard lock(c.mutex);
  if (c.live && c.events.disconnected) c.events.disconnected();
}

void Link::onReconnected(natsConnection* connection, void* callbacks) {
  auto& c = *static_cast<Callbacks*>(callbacks);
  char url[256] = "";
  natsConnection_GetConnectedUrl(connection, url, sizeof url);
  std::lock_guard lock(c.mutex);
  if (c.live && c.events.reconnected) c.events.reconnected(url);
}

void Link::onClosed(natsConnection* connection, void* callbacks) {
  auto* c = static_cast<Callbacks*>(callbacks);
  bool releaseHere = false;
  {
    std::lock_guard lock(c->mutex);
    releaseHere = !c->live;
    if (c->live) {
      c->closedByClient = true;
      if (c->events.closed) {
        const char* text = nullptr;
        const natsStatus status = natsConnection_GetLastError(connection, &text);
        c->events.closed(text != nullptr && *text != '\0' ? std::string(text) : statusText(status));
      }
    }
  }
  if (releaseHere) delete c;
}

void closeLibrary() { nats_CloseAndWait(2000); }

void requireStream(jsCtx* jetStream, const std::string& subject) {
  jsStreamInfoList* list = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  const natsStatus status = js_Streams(&list, jetStream, nullptr, &code);
  bool held = false;
  if (status == NATS_OK) {
    for (int i = 0; i < list->Count && !held; ++i) {
      const jsStreamConfig* config = list->List[i]->Config;
      for (int k = 0; config != nullptr && k < config->SubjectsLen && !held; ++k) {
        held = subjectMatches(config->Subjects[k], subject);
      }
    }
    jsStreamInfoList_Destroy(list);
  } else if (status != NATS_NOT_FOUND) {  // NATS_NOT_FOUND: there is no stream at all
    check(status, "cannot list the JetStream streams", code);
  }
  if (!held) throw NatsError("no JetStream stream holds the subject " + subject);
}

}  // namespace natslink
