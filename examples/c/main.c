/* Receives the data stream of an Ostra6 board and prints a line for every
 * batch of packages, until Ctrl-C.
 *
 *   varnel_c_example <board-ip-address>
 *
 * Exit status 0 after Ctrl-C, 1 when the connection fails, 2 for a wrong
 * command line. */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#endif

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

#include <varnel/varnel.h>

static volatile sig_atomic_t stopRequested = 0;

static void onSignal(int signalNumber) {
  (void)signalNumber;
  stopRequested = 1;
}

static void sleepMs(unsigned milliseconds) {
#if defined(_WIN32)
  Sleep(milliseconds);
#else
  struct timespec duration;
  duration.tv_sec = (time_t)(milliseconds / 1000u);
  duration.tv_nsec = (long)(milliseconds % 1000u) * 1000000L;
  nanosleep(&duration, NULL);
#endif
}

static const char* errorName(mirt_error_code error) {
  switch (error) {
    case MIRT_ERROR_NONE:
      return "no error";
    case MIRT_ERROR_CONNECTION_FAILED:
      return "connection failed";
    case MIRT_ERROR_COMMUNICATION:
      return "communication error";
    case MIRT_ERROR_VERSION_MISMATCH:
      return "version mismatch";
    default:
      return "general error";
  }
}

/* Call right after the call that failed: the text and the cause are those
 * of the last mirt_* call on this thread. */
static void reportError(const char* what, mirt_error_code error) {
  const mirt_failure_cause cause = mirt_get_last_failure_cause();
  fprintf(stderr, "%s: error %d (%s): %s", what, (int)error, errorName(error), mirt_get_last_error_message());
  if (cause != MIRT_CAUSE_NONE) fprintf(stderr, " (cause %d)", (int)cause);
  fprintf(stderr, "\n");
}

typedef struct StreamCounter {
  unsigned long streams; /* only touched on the library's thread */
} StreamCounter;

/* Runs on the library's I/O thread for every hand-over. It takes every
 * package out of the stream (the rest would be freed when it returns),
 * reads its samples and frees it. No package is read while it runs, so it
 * does little. */
static void onStream(mirt_ostra_data_stream* stream, void* userData) {
  StreamCounter* counter = (StreamCounter*)userData;
  size_t packages = 0;
  size_t channels = 0;
  size_t samples = 0;
  mirt_ostra_data_package* package;

  while ((package = mirt_ostra_data_stream_pop(stream, NULL)) != NULL) {
    const size_t perChannel = mirt_ostra_data_package_get_size(package, NULL);
    const size_t count = mirt_ostra_data_package_get_channel_count(package, NULL);
    uint32_t* buffer = (uint32_t*)malloc((perChannel > 0 ? perChannel : 1) * sizeof(uint32_t));
    size_t channel;
    for (channel = 0; buffer != NULL && channel < count; ++channel) {
      samples += mirt_ostra_data_package_get_waveform(package, buffer, perChannel, (uint32_t)channel, NULL);
    }
    free(buffer);
    if (count > channels) channels = count;
    ++packages;
    mirt_ostra_data_package_delete(package, NULL);
  }
  /* Without data the library still hands the (empty) stream over each
   * wait time; only batches with packages are printed. */
  if (packages == 0) return;
  ++counter->streams;
  printf("stream %lu: %lu packages, %lu channels, %lu samples\n", counter->streams, (unsigned long)packages,
         (unsigned long)channels, (unsigned long)samples);
  fflush(stdout);
}

int main(int argc, char** argv) {
  StreamCounter counter = {0};
  mirt_error_code error = MIRT_ERROR_NONE;
  mirt_varnel* parser;
  int status = 0;

  if (argc != 2) {
    fprintf(stderr, "usage: %s <board-ip-address>\n", argc > 0 ? argv[0] : "varnel_c_example");
    return 2;
  }

  parser = mirt_varnel_create(argv[1], onStream, &counter, &error);
  if (parser == NULL) {
    reportError("create", error);
    return 1;
  }
  signal(SIGINT, onSignal);
  signal(SIGTERM, onSignal);

  mirt_varnel_connect(parser, &error);
  if (error != MIRT_ERROR_NONE) {
    reportError("connect", error);
    mirt_varnel_delete(parser, NULL);
    return 1;
  }
  printf("connected to %s; Ctrl-C to stop\n", argv[1]);
  fflush(stdout);

  while (!stopRequested) {
    sleepMs(100);
    if (mirt_varnel_get_state(parser, &error) == MIRT_STATE_ERROR) {
      reportError("connection", error);
      status = 1;
      break;
    }
  }

  mirt_varnel_disconnect(parser, &error);
  if (status == 0 && error != MIRT_ERROR_NONE) {
    reportError("disconnect", error);
    status = 1;
  }
  mirt_varnel_delete(parser, NULL);
  if (status == 0) printf("disconnected after %lu streams\n", counter.streams);
  return status;
}
