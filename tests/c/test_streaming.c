/* Receiving from a fake board through the C interface: hand-overs,
 * popped packages and everything read from them. */
#include <string.h>

#include "c/board_shim.h"
#include "c/collector.h"
#include "c/harness.h"
#include "c/tests.h"
#include "varnel/varnel.h"

#define SENTINEL 0xDEADBEEFu

/* A board playing `count` numbered packages and a connected parser that
 * collects them into `c`, which must be initialised. */
typedef struct session {
  shim_board* board;
  mirt_varnel* parser;
} session;

static int start_session(session* s, const char* address, size_t count, uint32_t channels, uint32_t samples,
                         uint32_t packageCounter, uint32_t waitTimeMs, collector* c) {
  mirt_error_code error = JUNK_ERROR;
  s->parser = NULL;
  s->board = shim_board_numbered(address, 1, count, channels, samples);
  if (s->board == NULL) return 0;
  s->parser = mirt_varnel_create(address, collector_callback, c, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  if (s->parser == NULL) return 0;
  c->parser = s->parser;
  mirt_varnel_set_package_counter(s->parser, packageCounter, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  mirt_varnel_set_wait_time_ms(s->parser, waitTimeMs, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  mirt_varnel_set_tcp_timeout(s->parser, 2, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  error = JUNK_ERROR;
  mirt_varnel_connect(s->parser, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  return error == MIRT_ERROR_NONE;
}

static void end_session(session* s) {
  mirt_varnel_delete(s->parser, NULL);
  shim_board_stop(s->board);
}

/* Takes the one package a session received. */
static mirt_ostra_data_package* single_package(collector* c) {
  mirt_ostra_data_package* package = NULL;
  if (!collector_wait_packages(c, 1, 5000)) return NULL;
  collector_take_packages(c, &package, 1);
  return package;
}

static void expect_numbered(mirt_ostra_data_package* package, uint64_t number, uint32_t channels,
                            uint32_t samples) {
  mirt_error_code error = JUNK_ERROR;
  uint32_t buffer[16];
  uint32_t channel;
  uint32_t i;
  const mirt_ostra_meta_data meta = mirt_ostra_data_package_get_meta_data(package, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  CHECK_EQ(meta.headerValue, number);
  CHECK_EQ(meta.dspVersion, 3646);
  CHECK_EQ(meta.firmwareVersion, 0x127);
  CHECK_EQ(meta.biosVersion, 0x40);
  CHECK_EQ(mirt_ostra_data_package_get_size(package, &error), samples);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  CHECK_EQ(mirt_ostra_data_package_get_channel_count(package, &error), channels);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  for (channel = 0; channel < channels; ++channel) {
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform_type(package, channel, &error), channel + 1);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    error = JUNK_ERROR;
    REQUIRE(mirt_ostra_data_package_get_waveform(package, buffer, 16, channel, &error) == samples);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    for (i = 0; i < samples; ++i) CHECK_EQ(buffer[i], shim_numbered_sample(number, channel, i));
  }
}

/* Full streams are handed over in order, the state follows, and the popped
 * packages stay readable after the parser is gone. */
void test_streams_are_handed_over(void) {
  enum { count = 6, channels = 3, samples = 5 };
  mirt_error_code error = JUNK_ERROR;
  mirt_ostra_data_package* packages[count];
  struct {
    mirt_varnel_statistics figures;
    uint64_t tail[2];
  } later;
  mirt_varnel_statistics statistics;
  mirt_receive_time last = {0, 0};
  collector c;
  session s;
  size_t i;
  collector_init(&c);
  if (start_session(&s, shim_loopback(10), count, channels, samples, 3, 60000, &c)) {
    CHECK(collector_wait_packages(&c, count, 5000));
    CHECK(mirt_varnel_is_connected(s.parser, &error));
    CHECK_EQ(error, MIRT_ERROR_NONE);
    /* The board has not ended the stream. */
    error = JUNK_ERROR;
    CHECK_EQ(mirt_varnel_get_state(s.parser, &error), MIRT_STATE_RECEIVING);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    /* A second connect makes no new attempt. */
    error = JUNK_ERROR;
    mirt_varnel_connect(s.parser, &error);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    CHECK_EQ(shim_board_clients_accepted(s.board), 1);

    error = JUNK_ERROR;
    mirt_varnel_disconnect(s.parser, &error);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    error = JUNK_ERROR;
    CHECK_EQ(mirt_varnel_get_state(s.parser, &error), MIRT_STATE_NOT_CONNECTED);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    CHECK(!mirt_varnel_is_connected(s.parser, NULL));

    /* The figures, into a record of this version, into one of a later
     * version (its unknown tail zeroed), and refused for a record that is
     * too small. */
    memset(&later, 0xAB, sizeof later);
    later.figures.size = sizeof later;
    error = JUNK_ERROR;
    CHECK_EQ(mirt_varnel_get_statistics(s.parser, &later.figures, &error), sizeof(mirt_varnel_statistics));
    CHECK_EQ(error, MIRT_ERROR_NONE);
    CHECK_EQ(later.figures.size, sizeof later);
    CHECK_EQ(later.tail[0], 0);
    CHECK_EQ(later.tail[1], 0);
    CHECK_EQ(later.figures.packages, count);
    CHECK_EQ(later.figures.bytes, count * (128 + channels * samples * 4));
    CHECK_EQ(later.figures.handOvers, 2);
    CHECK_EQ(later.figures.connections, 1);
    statistics = later.figures;
    statistics.size = 8;
    error = JUNK_ERROR;
    CHECK_EQ(mirt_varnel_get_statistics(s.parser, &statistics, &error), 0);
    CHECK_EQ(error, MIRT_ERROR_GENERAL);
    CHECK_EQ(statistics.packages, count);

    error = JUNK_ERROR;
    mirt_varnel_delete(s.parser, &error);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    s.parser = NULL;

    shim_mutex_lock(c.mutex);
    CHECK_EQ(c.calls, 2);
    CHECK_EQ(c.sizes[0], 3);
    CHECK_EQ(c.sizes[1], 3);
    CHECK_EQ(c.streamFaults, 0);
    CHECK_EQ(c.streamChanged, 0);
    CHECK(c.lastUserData == (void*)&c);
    shim_mutex_unlock(c.mutex);

    /* Read after mirt_varnel_delete. */
    REQUIRE(collector_take_packages(&c, packages, count) == count);
    for (i = 0; i < count; ++i) {
      const mirt_receive_time received = mirt_ostra_data_package_get_receive_time(packages[i], &error);
      CHECK_EQ(error, MIRT_ERROR_NONE);
      CHECK(received.systemTimeNs > 0 && received.steadyTimeNs > 0);
      CHECK(i == 0 || received.steadyTimeNs >= last.steadyTimeNs);
      last = received;
      expect_numbered(packages[i], i + 1, channels, samples);
      error = JUNK_ERROR;
      mirt_ostra_data_package_delete(packages[i], &error);
      CHECK_EQ(error, MIRT_ERROR_NONE);
    }
    CHECK_EQ(last.steadyTimeNs, later.figures.lastReceiveTime.steadyTimeNs);
  }
  end_session(&s);
  collector_free(&c);
}

/* Without packages the wait time hands over the parser's one stream,
 * empty, again and again. */
void test_empty_streams_from_the_timer(void) {
  mirt_error_code error = JUNK_ERROR;
  collector c;
  session s;
  size_t i;
  collector_init(&c);
  if (start_session(&s, shim_loopback(13), 0, 0, 0, 25, 10, &c)) {
    CHECK(collector_wait_calls(&c, 3, 5000));
    error = JUNK_ERROR;
    CHECK_EQ(mirt_varnel_get_state(s.parser, &error), MIRT_STATE_CONNECTED);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    CHECK(mirt_varnel_is_connected(s.parser, NULL));
    error = JUNK_ERROR;
    mirt_varnel_disconnect(s.parser, &error);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    shim_mutex_lock(c.mutex);
    for (i = 0; i < c.calls && i < COLLECTOR_CAPACITY; ++i) CHECK_EQ(c.sizes[i], 0);
    CHECK_EQ(c.packageCount, 0);
    CHECK_EQ(c.streamFaults, 0);
    CHECK_EQ(c.streamChanged, 0);
    CHECK(c.firstStream != NULL);
    CHECK(c.lastUserData == (void*)&c);
    shim_mutex_unlock(c.mutex);
  }
  end_session(&s);
  collector_free(&c);
}

void test_waveform_buffer_sizes(void) {
  mirt_error_code error = JUNK_ERROR;
  mirt_ostra_data_package* package;
  uint32_t buffer[12];
  collector c;
  session s;
  size_t i;
  collector_init(&c);
  if (start_session(&s, shim_loopback(11), 1, 2, 5, 1, 60000, &c) && (package = single_package(&c)) != NULL) {
    /* No buffer: nothing is read, and that is no error. */
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, NULL, 10, 0, &error), 0);
    CHECK_EQ(error, MIRT_ERROR_NONE);

    for (i = 0; i < 12; ++i) buffer[i] = SENTINEL;
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, buffer, 0, 0, &error), 0);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    CHECK_EQ(buffer[0], SENTINEL);

    /* A short buffer takes the first samples, and nothing beyond. */
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, buffer, 3, 1, &error), 3);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    for (i = 0; i < 3; ++i) CHECK_EQ(buffer[i], shim_numbered_sample(1, 1, (uint32_t)i));
    CHECK_EQ(buffer[3], SENTINEL);

    /* A long one takes all five; the rest stays untouched. */
    for (i = 0; i < 12; ++i) buffer[i] = SENTINEL;
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, buffer, 10, 0, &error), 5);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    for (i = 0; i < 5; ++i) CHECK_EQ(buffer[i], shim_numbered_sample(1, 0, (uint32_t)i));
    for (i = 5; i < 12; ++i) CHECK_EQ(buffer[i], SENTINEL);

    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, buffer, 10, 1, NULL), 5);
    CHECK_EQ(mirt_ostra_data_package_get_size(package, NULL), 5);
    CHECK_EQ(mirt_ostra_data_package_get_channel_count(package, NULL), 2);
    CHECK_EQ(mirt_ostra_data_package_get_waveform_type(package, 1, NULL), 2);
    CHECK_EQ(mirt_ostra_data_package_get_meta_data(package, NULL).headerValue, 1);
    mirt_ostra_data_package_delete(package, NULL);
  }
  end_session(&s);
  collector_free(&c);
}

/* Channels 0 to 7 have samples (none beyond the channel count); asking for
 * channel 8 or more, or for the type of a channel the package lacks, is
 * refused with MIRT_ERROR_GENERAL and a zero result. */
void test_out_of_range_channels(void) {
  mirt_error_code error = JUNK_ERROR;
  mirt_ostra_data_package* package;
  uint32_t buffer[8];
  collector c;
  session s;
  collector_init(&c);
  if (start_session(&s, shim_loopback(12), 1, 2, 5, 1, 60000, &c) && (package = single_package(&c)) != NULL) {
    buffer[0] = SENTINEL;
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, buffer, 8, 2, &error), 0);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, buffer, 8, 7, &error), 0);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, buffer, 8, 8, &error), 0);
    CHECK_EQ(error, MIRT_ERROR_GENERAL);
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, buffer, 8, UINT32_MAX, &error), 0);
    CHECK_EQ(error, MIRT_ERROR_GENERAL);
    CHECK_EQ(buffer[0], SENTINEL);
    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, buffer, 8, 8, NULL), 0);
    /* Without a buffer the channel is not even looked at. */
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform(package, NULL, 8, 8, &error), 0);
    CHECK_EQ(error, MIRT_ERROR_NONE);

    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform_type(package, 2, &error), 0);
    CHECK_EQ(error, MIRT_ERROR_GENERAL);
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform_type(package, SIZE_MAX, &error), 0);
    CHECK_EQ(error, MIRT_ERROR_GENERAL);
    CHECK_EQ(mirt_ostra_data_package_get_waveform_type(package, 2, NULL), 0);

    /* A refusal leaves the package as it was. */
    error = JUNK_ERROR;
    CHECK_EQ(mirt_ostra_data_package_get_waveform_type(package, 1, &error), 2);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    mirt_ostra_data_package_delete(package, &error);
    CHECK_EQ(error, MIRT_ERROR_NONE);
  }
  end_session(&s);
  collector_free(&c);
}

/* Every field arrives with its own value, so a field read from the wrong
 * place would show. */
void test_meta_data_field_by_field(void) {
  mirt_error_code error = JUNK_ERROR;
  mirt_ostra_meta_data sent;
  mirt_ostra_meta_data got;
  mirt_ostra_data_package* package;
  mirt_varnel* parser;
  collector c;
  shim_board* board;

  memset(&sent, 0, sizeof sent);
  sent.statusWord = 0x01020304u;
  sent.headerValue = 0x1112131415161718ull;
  sent.word36 = 0x21222324u;
  sent.dspVersion = 3999; /* versions that pass the board version check */
  sent.firmwareVersion = 0x17F;
  sent.biosVersion = 0x41;
  sent.word52 = 0x31323334u;
  sent.word56 = 0x41424344u;
  sent.word60 = 0x51525354u;
  sent.word64 = 0x61626364u;
  sent.word68 = 0x71727374u;
  sent.real72 = 72.125;
  sent.real80 = -80.0625;
  sent.word88 = 0x81828384u;
  sent.word92 = 0x91929394u;
  sent.word96 = 0xA1A2A3A4u;
  sent.half100 = 0xB1B2u;
  sent.half102 = 0xC1C2u;
  sent.word104 = 0xD1D2D3D4u;
  sent.word108 = 0xE1E2E3E4u;

  collector_init(&c);
  board = shim_board_with_meta(shim_loopback(14), &sent);
  parser = board != NULL ? mirt_varnel_create(shim_loopback(14), collector_callback, &c, NULL) : NULL;
  if (parser != NULL) {
    mirt_varnel_set_package_counter(parser, 1, NULL);
    mirt_varnel_set_wait_time_ms(parser, 60000, NULL);
    mirt_varnel_connect(parser, &error);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    package = single_package(&c);
    mirt_varnel_delete(parser, NULL);
    CHECK(package != NULL);
    if (package != NULL) {
      error = JUNK_ERROR;
      got = mirt_ostra_data_package_get_meta_data(package, &error);
      CHECK_EQ(error, MIRT_ERROR_NONE);
      CHECK_EQ(got.statusWord, sent.statusWord);
      CHECK_EQ(got.headerValue, sent.headerValue);
      CHECK_EQ(got.word36, sent.word36);
      CHECK_EQ(got.dspVersion, sent.dspVersion);
      CHECK_EQ(got.firmwareVersion, sent.firmwareVersion);
      CHECK_EQ(got.biosVersion, sent.biosVersion);
      CHECK_EQ(got.word52, sent.word52);
      CHECK_EQ(got.word56, sent.word56);
      CHECK_EQ(got.word60, sent.word60);
      CHECK_EQ(got.word64, sent.word64);
      CHECK_EQ(got.word68, sent.word68);
      CHECK(got.real72 == sent.real72);
      CHECK(got.real80 == sent.real80);
      CHECK_EQ(got.word88, sent.word88);
      CHECK_EQ(got.word92, sent.word92);
      CHECK_EQ(got.word96, sent.word96);
      CHECK_EQ(got.half100, sent.half100);
      CHECK_EQ(got.half102, sent.half102);
      CHECK_EQ(got.word104, sent.word104);
      CHECK_EQ(got.word108, sent.word108);
      mirt_ostra_data_package_delete(package, NULL);
    }
  } else {
    CHECK(parser != NULL);
  }
  shim_board_stop(board);
  collector_free(&c);
}

static int parser_deleted(void* context) { return collector_deleted((collector*)context); }

/* The callback may delete its own parser: it is not called again, the
 * board sees the connection close, the library's thread ends, and the
 * packages popped before stay readable. */
void test_delete_inside_the_callback(void) {
  mirt_error_code error = JUNK_ERROR;
  mirt_ostra_data_package* package = NULL;
  mirt_varnel* parser;
  shim_board* board;
  size_t threadsBefore;
  uint64_t deadline;
  collector c;
  collector_init(&c);
  c.deleteParser = 1;
  board = shim_board_numbered(shim_loopback(15), 1, 40, 2, 4);
  /* Counted with the board's thread running: the parser's come on top. */
  threadsBefore = shim_thread_count();
  parser = board != NULL ? mirt_varnel_create(shim_loopback(15), collector_callback, &c, &error) : NULL;
  CHECK(parser != NULL);
  if (parser != NULL) {
    c.parser = parser;
    mirt_varnel_set_package_counter(parser, 1, NULL);
    mirt_varnel_set_wait_time_ms(parser, 10, NULL);
    mirt_varnel_connect(parser, &error);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    collector_arm(&c); /* from now on the callback deletes the parser */
    CHECK(harness_eventually(parser_deleted, &c, 5000));
    CHECK(shim_board_wait_client_closed(board, 5000));
    deadline = shim_now_ms() + 5000;
    while (shim_thread_count() > threadsBefore && shim_now_ms() < deadline) shim_sleep_ms(1);
    CHECK_EQ(shim_thread_count(), threadsBefore);

    shim_mutex_lock(c.mutex);
    error = c.deleteError;
    CHECK_EQ(c.callsAfterDelete, 0);
    CHECK(c.packageCount >= 1);
    shim_mutex_unlock(c.mutex);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    if (collector_take_packages(&c, &package, 1) == 1) {
      CHECK(mirt_ostra_data_package_get_meta_data(package, NULL).headerValue == 1);
      CHECK_EQ(mirt_ostra_data_package_get_size(package, NULL), 4);
      mirt_ostra_data_package_delete(package, NULL);
    }
  }
  shim_board_stop(board);
  collector_free(&c);
}

/* A null callback is accepted at creation; each hand-over then fails like
 * an empty callback object, recorded by the handler that made it: the
 * timer's as MIRT_ERROR_COMMUNICATION, the package reader's (an
 * unspecified failure) as MIRT_ERROR_GENERAL. */
void test_null_callback(void) {
  static const struct {
    unsigned host;
    size_t packages;
    uint32_t packageCounter;
    uint32_t waitTimeMs;
    mirt_error_code expected;
  } cases[] = {{16, 0, 25, 10, MIRT_ERROR_COMMUNICATION}, {17, 1, 1, 60000, MIRT_ERROR_GENERAL}};
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    mirt_error_code error = JUNK_ERROR;
    const char* address = shim_loopback(cases[i].host);
    shim_board* board = shim_board_numbered(address, 1, cases[i].packages, 2, 4);
    mirt_varnel* parser = mirt_varnel_create(address, NULL, NULL, &error);
    CHECK(board != NULL);
    CHECK(parser != NULL);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    if (board != NULL && parser != NULL) {
      mirt_varnel_set_package_counter(parser, cases[i].packageCounter, NULL);
      mirt_varnel_set_wait_time_ms(parser, cases[i].waitTimeMs, NULL);
      mirt_varnel_set_tcp_timeout(parser, 2, NULL);
      /* The connection is established before the failure: connect succeeds. */
      mirt_varnel_connect(parser, &error);
      CHECK_EQ(error, MIRT_ERROR_NONE);
      CHECK_EQ(wait_for_error_state(parser, 5000), cases[i].expected);
      error = JUNK_ERROR;
      mirt_varnel_disconnect(parser, &error);
      CHECK_EQ(error, cases[i].expected);
    }
    mirt_varnel_delete(parser, NULL);
    shim_board_stop(board);
  }
}

/* What a receive observer saw. */
typedef struct observed {
  shim_mutex* mutex;
  int events;
  int32_t firstEvent;
  int fromTheBoard; /* the first event named the board's address and port */
  size_t bytes;
  uint8_t firstBytes[2];
} observed;

static void observe(const mirt_received_bytes* bytes, void* userData) {
  observed* o = (observed*)userData;
  shim_mutex_lock(o->mutex);
  if (o->events++ == 0) {
    o->firstEvent = bytes->event;
    o->fromTheBoard = strcmp(bytes->boardAddress, shim_loopback(23)) == 0 && bytes->boardPort == 63751 &&
                      bytes->localPort != 0 && bytes->receiveTimeNs > 0;
  }
  if (bytes->event == MIRT_RECEIVED_DATA) {
    if (o->bytes == 0) memcpy(o->firstBytes, bytes->data, 2);
    o->bytes += bytes->size;
  }
  shim_mutex_unlock(o->mutex);
}

/* The receive observer sees the connect, then every byte before its
 * packages are handed over. */
void test_receive_observer(void) {
  enum { count = 4, channels = 2, samples = 4, packageSize = 128 + channels * samples * 4 };
  mirt_error_code error = JUNK_ERROR;
  observed o;
  collector c;
  shim_board* board = shim_board_numbered(shim_loopback(23), 1, count, channels, samples);
  mirt_varnel* parser;
  memset(&o, 0, sizeof o);
  o.mutex = shim_mutex_create();
  collector_init(&c);
  parser = mirt_varnel_create(shim_loopback(23), collector_callback, &c, &error);
  REQUIRE(board != NULL && parser != NULL);
  mirt_varnel_set_package_counter(parser, count, NULL);
  mirt_varnel_set_receive_observer(parser, observe, &o, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  mirt_varnel_connect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  CHECK(collector_wait_packages(&c, count, 5000));
  shim_mutex_lock(o.mutex);
  CHECK_EQ(o.firstEvent, MIRT_RECEIVED_CONNECTED);
  CHECK(o.fromTheBoard);
  CHECK_EQ(o.bytes, count * packageSize);
  CHECK_EQ(o.firstBytes[0], 1); /* the protocol version, little-endian */
  CHECK_EQ(o.firstBytes[1], 0);
  shim_mutex_unlock(o.mutex);
  error = JUNK_ERROR;
  mirt_varnel_set_receive_observer(parser, NULL, NULL, &error); /* removed from the next connect on */
  CHECK_EQ(error, MIRT_ERROR_NONE);
  mirt_varnel_delete(parser, NULL);
  shim_board_stop(board);
  collector_free(&c);
  shim_mutex_destroy(o.mutex);
}
