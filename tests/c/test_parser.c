/* Creating, configuring and connecting a parser through the C interface,
 * and the connect failures with their recorded codes. */
#include "c/board_shim.h"
#include "c/collector.h"
#include "c/harness.h"
#include "c/tests.h"
#include "varnel/varnel.h"

static void on_stream_ignore(mirt_ostra_data_stream* stream, void* userData) {
  (void)stream;
  (void)userData;
}

/* Non-numeric addresses are accepted at creation and refused by connect
 * with MIRT_ERROR_GENERAL. */
void test_new_parser(void) {
  mirt_error_code error = JUNK_ERROR;
  mirt_varnel* parser = mirt_varnel_create("board.local", on_stream_ignore, NULL, &error);
  REQUIRE(parser != NULL);
  CHECK_EQ(error, MIRT_ERROR_NONE);

  error = JUNK_ERROR;
  CHECK_EQ(mirt_varnel_get_state(parser, &error), MIRT_STATE_NOT_CONNECTED);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  error = JUNK_ERROR;
  CHECK(!mirt_varnel_is_connected(parser, &error));
  CHECK_EQ(error, MIRT_ERROR_NONE);
  error = JUNK_ERROR;
  mirt_varnel_get_async_error(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);

  /* Every setting accepts 0. */
  error = JUNK_ERROR;
  mirt_varnel_set_tcp_timeout(parser, 0, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  error = JUNK_ERROR;
  mirt_varnel_set_package_counter(parser, 0, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  error = JUNK_ERROR;
  mirt_varnel_set_wait_time_ms(parser, 0, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);

  error = JUNK_ERROR;
  mirt_varnel_connect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_GENERAL);
  error = JUNK_ERROR;
  CHECK_EQ(mirt_varnel_get_state(parser, &error), MIRT_STATE_NOT_CONNECTED);
  CHECK_EQ(error, MIRT_ERROR_NONE);

  error = JUNK_ERROR;
  mirt_varnel_disconnect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  CHECK_EQ(mirt_varnel_get_state(parser, NULL), MIRT_STATE_NOT_CONNECTED);
  error = JUNK_ERROR;
  mirt_varnel_delete(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
}

void test_null_handles_and_address(void) {
  mirt_error_code error = JUNK_ERROR;
  mirt_varnel_delete(NULL, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  mirt_varnel_delete(NULL, NULL);
  error = JUNK_ERROR;
  mirt_ostra_data_package_delete(NULL, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  mirt_ostra_data_package_delete(NULL, NULL);

  error = JUNK_ERROR;
  CHECK(mirt_varnel_create(NULL, on_stream_ignore, NULL, &error) == NULL);
  CHECK_EQ(error, MIRT_ERROR_GENERAL);
  CHECK(mirt_varnel_create(NULL, on_stream_ignore, NULL, NULL) == NULL);
}

/* With a null error pointer failures go unreported, but every function
 * still returns its value. */
void test_null_error_pointers(void) {
  mirt_varnel* parser = mirt_varnel_create(shim_loopback(2), on_stream_ignore, NULL, NULL);
  REQUIRE(parser != NULL);
  CHECK_EQ(mirt_varnel_get_state(parser, NULL), MIRT_STATE_NOT_CONNECTED);
  CHECK(!mirt_varnel_is_connected(parser, NULL));
  mirt_varnel_get_async_error(parser, NULL);
  mirt_varnel_set_tcp_timeout(parser, 2, NULL);
  mirt_varnel_set_package_counter(parser, 3, NULL);
  mirt_varnel_set_wait_time_ms(parser, 40, NULL);
  mirt_varnel_connect(parser, NULL); /* nothing listens there */
  CHECK_EQ(mirt_varnel_get_state(parser, NULL), MIRT_STATE_ERROR);
  CHECK(!mirt_varnel_is_connected(parser, NULL));
  mirt_varnel_get_async_error(parser, NULL);
  mirt_varnel_set_tcp_timeout(parser, 2, NULL);
  mirt_varnel_disconnect(parser, NULL);
  mirt_varnel_delete(parser, NULL);
}

void test_refused_connect(void) {
  mirt_error_code error = JUNK_ERROR;
  mirt_varnel* parser =
      mirt_varnel_create(shim_loopback(3), on_stream_ignore, NULL, &error); /* nothing listens */
  REQUIRE(parser != NULL);
  mirt_varnel_set_tcp_timeout(parser, 2, NULL);

  mirt_varnel_connect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_CONNECTION_FAILED);
  error = JUNK_ERROR;
  CHECK_EQ(mirt_varnel_get_state(parser, &error), MIRT_STATE_ERROR);
  CHECK_EQ(error, MIRT_ERROR_COMMUNICATION);
  error = JUNK_ERROR;
  CHECK(!mirt_varnel_is_connected(parser, &error));
  CHECK_EQ(error, MIRT_ERROR_NONE);
  error = JUNK_ERROR;
  mirt_varnel_get_async_error(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_COMMUNICATION);
  /* The recorded error refuses a new time-out ... */
  error = JUNK_ERROR;
  mirt_varnel_set_tcp_timeout(parser, 3, &error);
  CHECK_EQ(error, MIRT_ERROR_COMMUNICATION);
  /* ... a new connect tries again rather than reporting success ... */
  error = JUNK_ERROR;
  mirt_varnel_connect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_CONNECTION_FAILED);
  /* ... and disconnect reports it. */
  error = JUNK_ERROR;
  mirt_varnel_disconnect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_COMMUNICATION);
  /* After disconnect a new attempt is made and fails the same way. */
  error = JUNK_ERROR;
  mirt_varnel_connect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_CONNECTION_FAILED);
  error = JUNK_ERROR;
  CHECK_EQ(mirt_varnel_get_state(parser, &error), MIRT_STATE_ERROR);
  CHECK_EQ(error, MIRT_ERROR_COMMUNICATION);
  mirt_varnel_delete(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
}

void test_connect_time_out(void) {
  mirt_error_code error = JUNK_ERROR;
  uint64_t started;
  shim_board* board = shim_board_never_accepting(shim_loopback(4));
  mirt_varnel* parser;
  REQUIRE(board != NULL);
  parser = mirt_varnel_create(shim_loopback(4), on_stream_ignore, NULL, &error);
  if (parser == NULL) {
    shim_board_stop(board);
    REQUIRE(parser != NULL);
  }
  mirt_varnel_set_tcp_timeout(parser, 1, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);

  started = shim_now_ms();
  error = JUNK_ERROR;
  mirt_varnel_connect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_CONNECTION_FAILED);
  CHECK(shim_now_ms() - started >= 1000); /* the time-out counts in seconds */
  error = JUNK_ERROR;
  CHECK_EQ(mirt_varnel_get_state(parser, &error), MIRT_STATE_ERROR);
  CHECK_EQ(error, MIRT_ERROR_GENERAL);
  error = JUNK_ERROR;
  mirt_varnel_disconnect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_GENERAL);
  mirt_varnel_delete(parser, NULL);
  shim_board_stop(board);
}

/* A too-old board is refused, and nothing of it is handed over. */
void test_too_old_board(void) {
  mirt_error_code error = JUNK_ERROR;
  collector c;
  shim_board* board = shim_board_too_old(shim_loopback(5));
  mirt_varnel* parser;
  REQUIRE(board != NULL);
  collector_init(&c);
  parser = mirt_varnel_create(shim_loopback(5), collector_callback, &c, &error);
  CHECK(parser != NULL);
  if (parser != NULL) {
    mirt_varnel_set_package_counter(parser, 1, NULL);
    mirt_varnel_set_tcp_timeout(parser, 2, NULL);
    /* The connection is established before the refusal: connect succeeds. */
    mirt_varnel_connect(parser, &error);
    CHECK_EQ(error, MIRT_ERROR_NONE);
    CHECK_EQ(wait_for_error_state(parser, 5000), MIRT_ERROR_VERSION_MISMATCH);
    error = JUNK_ERROR;
    mirt_varnel_disconnect(parser, &error);
    CHECK_EQ(error, MIRT_ERROR_VERSION_MISMATCH);
    CHECK_EQ(collector_package_count(&c), 0);
    mirt_varnel_delete(parser, NULL);
  }
  collector_free(&c);
  shim_board_stop(board);
}
