/* mirt_get_last_error_message and mirt_get_last_failure_cause: the text
 * and cause of the last failure on the calling thread, "" and
 * MIRT_CAUSE_NONE after a call that succeeded. */
#include <stdio.h>
#include <string.h>

#include "c/board_shim.h"
#include "c/collector.h"
#include "c/harness.h"
#include "c/tests.h"
#include "varnel/varnel.h"

static void on_stream_ignore(mirt_ostra_data_stream* stream, void* userData) {
  (void)stream;
  (void)userData;
}

/* Records a failure, with the text, unless `text` is `expected` (exact) or
 * begins with it (prefix). */
static void check_text(const char* file, int line, const char* text, const char* expected, int prefix) {
  int ok =
      text != NULL && (prefix ? strncmp(text, expected, strlen(expected)) == 0 : strcmp(text, expected) == 0);
  if (!ok) {
    fprintf(stderr, "  last error message: \"%s\"\n  expected %s\"%s\"\n", text != NULL ? text : "(null)",
            prefix ? "a text beginning with " : "", expected);
    harness_fail(file, line, "mirt_get_last_error_message()");
  }
}

#define CHECK_TEXT(expected) check_text(__FILE__, __LINE__, mirt_get_last_error_message(), (expected), 0)
#define CHECK_TEXT_BEGINS(expected) \
  check_text(__FILE__, __LINE__, mirt_get_last_error_message(), (expected), 1)

void test_error_text_refused_connect(void) {
  mirt_error_code error = JUNK_ERROR;
  char connectText[512];
  mirt_varnel* parser =
      mirt_varnel_create(shim_loopback(20), on_stream_ignore, NULL, &error); /* nothing listens */
  REQUIRE(parser != NULL);
  CHECK_TEXT("");
  mirt_varnel_set_tcp_timeout(parser, 2, NULL);

  mirt_varnel_connect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_CONNECTION_FAILED);
  CHECK_TEXT_BEGINS("start: ");
  CHECK_EQ(mirt_get_last_failure_cause(), MIRT_CAUSE_REFUSED);
  /* Reading it changes nothing: the same text, also through NULL `error`s. */
  CHECK(strlen(mirt_get_last_error_message()) > strlen("start: "));
  CHECK(mirt_get_last_error_message() == mirt_get_last_error_message());
  strncpy(connectText, mirt_get_last_error_message(), sizeof connectText - 1);
  connectText[sizeof connectText - 1] = '\0';

  /* A call that succeeds clears it ... */
  CHECK(!mirt_varnel_is_connected(parser, NULL));
  CHECK_TEXT("");
  CHECK_EQ(mirt_get_last_failure_cause(), MIRT_CAUSE_NONE);
  /* ... and every call that reports the recorded error brings back its
   * text, also with a NULL error pointer. */
  error = JUNK_ERROR;
  CHECK_EQ(mirt_varnel_get_state(parser, &error), MIRT_STATE_ERROR);
  CHECK_EQ(error, MIRT_ERROR_COMMUNICATION);
  CHECK_TEXT(connectText);
  CHECK_EQ(mirt_get_last_failure_cause(), MIRT_CAUSE_REFUSED);
  mirt_get_version_info();
  CHECK_TEXT("");
  CHECK_EQ(mirt_get_last_failure_cause(), MIRT_CAUSE_NONE);
  mirt_varnel_get_async_error(parser, NULL);
  CHECK_TEXT(connectText);
  mirt_varnel_set_package_counter(parser, 3, NULL);
  CHECK_TEXT("");
  mirt_varnel_set_tcp_timeout(parser, 3, NULL);
  CHECK_TEXT(connectText);
  mirt_varnel_disconnect(parser, NULL);
  CHECK_TEXT(connectText);
  CHECK_EQ(mirt_get_last_failure_cause(), MIRT_CAUSE_REFUSED);
  mirt_varnel_delete(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_NONE);
  CHECK_TEXT("");
}

void test_error_text_connect_time_out(void) {
  mirt_error_code error = JUNK_ERROR;
  shim_board* board = shim_board_never_accepting(shim_loopback(21));
  mirt_varnel* parser;
  REQUIRE(board != NULL);
  parser = mirt_varnel_create(shim_loopback(21), on_stream_ignore, NULL, &error);
  if (parser == NULL) {
    shim_board_stop(board);
    REQUIRE(parser != NULL);
  }
  mirt_varnel_set_tcp_timeout(parser, 1, NULL);
  mirt_varnel_connect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_CONNECTION_FAILED);
  CHECK_TEXT("waitForConnectionLockFree: Connection timeout");
  error = JUNK_ERROR;
  CHECK_EQ(mirt_varnel_get_state(parser, &error), MIRT_STATE_ERROR);
  CHECK_EQ(error, MIRT_ERROR_GENERAL);
  CHECK_TEXT("waitForConnectionLockFree: Connection timeout");
  CHECK_EQ(mirt_get_last_failure_cause(), MIRT_CAUSE_CONNECT_TIMED_OUT);
  mirt_varnel_delete(parser, NULL);
  CHECK_TEXT("");
  shim_board_stop(board);
}

/* Refused arguments: a null address at creation, a host name at connect. */
void test_error_text_bad_arguments(void) {
  mirt_error_code error = JUNK_ERROR;
  mirt_varnel* parser;
  CHECK(mirt_varnel_create(NULL, on_stream_ignore, NULL, &error) == NULL);
  CHECK_EQ(error, MIRT_ERROR_GENERAL);
  CHECK_TEXT("mirt_varnel_create: the address is null");
  mirt_varnel_delete(NULL, NULL);
  CHECK_TEXT("");

  parser = mirt_varnel_create("board.local", on_stream_ignore, NULL, NULL);
  REQUIRE(parser != NULL);
  CHECK_TEXT("");
  mirt_varnel_connect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_GENERAL);
  CHECK_TEXT(
      "'board.local' is not a numeric IPv4 or IPv6 address (host names and port suffixes are not "
      "accepted)");
  CHECK_EQ(mirt_get_last_failure_cause(), MIRT_CAUSE_NONE); /* no connection failed */
  mirt_varnel_delete(parser, NULL);
  CHECK_TEXT("");
}

/* The refusal of a too-old board, with its versions. */
void test_error_text_too_old_board(void) {
  mirt_error_code error = JUNK_ERROR;
  shim_board* board = shim_board_too_old(shim_loopback(22));
  mirt_varnel* parser;
  REQUIRE(board != NULL);
  parser = mirt_varnel_create(shim_loopback(22), on_stream_ignore, NULL, &error);
  if (parser == NULL) {
    shim_board_stop(board);
    REQUIRE(parser != NULL);
  }
  mirt_varnel_set_package_counter(parser, 1, NULL);
  mirt_varnel_set_tcp_timeout(parser, 2, NULL);
  mirt_varnel_connect(parser, NULL);
  CHECK_EQ(wait_for_error_state(parser, 5000), MIRT_ERROR_VERSION_MISMATCH);
  /* The state was read last, by a call that reported the error. */
  CHECK_TEXT_BEGINS("readBody: Connected Ostra6 has wrong version");
  CHECK(strstr(mirt_get_last_error_message(), "DSP: 645") != NULL);
  mirt_varnel_disconnect(parser, &error);
  CHECK_EQ(error, MIRT_ERROR_VERSION_MISMATCH);
  CHECK_TEXT_BEGINS("readBody: Connected Ostra6 has wrong version");
  CHECK_EQ(mirt_get_last_failure_cause(), MIRT_CAUSE_BOARD_TOO_OLD);
  mirt_varnel_delete(parser, NULL);
  CHECK_TEXT("");
  shim_board_stop(board);
}
