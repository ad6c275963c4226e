/* The C tests' data callback: records every hand-over and keeps the popped
 * packages. It runs on the library's I/O thread, so everything it records
 * is read under its lock, through the functions below. */
#ifndef VARNEL_TESTS_COLLECTOR_H
#define VARNEL_TESTS_COLLECTOR_H

#include <stddef.h>

#include "c/board_shim.h"
#include "varnel/varnel.h"

#define COLLECTOR_CAPACITY 64

/* Written through an error parameter before a call, to see it overwritten. */
#define JUNK_ERROR ((mirt_error_code)77)

typedef struct collector {
  shim_mutex* mutex;
  /* Set before connect: delete `parser` from inside the first call after
   * collector_arm. */
  int deleteParser;
  mirt_varnel* parser;

  /* Everything below under `mutex`. */
  int armed;
  int deleted;
  mirt_error_code deleteError;
  size_t calls;
  size_t callsAfterDelete;
  size_t sizes[COLLECTOR_CAPACITY]; /* stream size at each call */
  mirt_ostra_data_package* packages[COLLECTOR_CAPACITY];
  size_t packageCount;
  mirt_ostra_data_stream* firstStream;
  int streamChanged;  /* a call got another stream handle than the first */
  void* lastUserData; /* as the callback received it */
  int streamFaults;   /* stream functions that failed or disagreed */
} collector;

void collector_init(collector* c);
/* Deletes the packages still held. */
void collector_free(collector* c);
/* The mirt_varnel_callback; userData is the collector. */
void collector_callback(mirt_ostra_data_stream* stream, void* userData);
void collector_arm(collector* c);

size_t collector_calls(collector* c);
size_t collector_package_count(collector* c);
int collector_deleted(collector* c);
int collector_wait_calls(collector* c, size_t count, unsigned timeoutMs);
int collector_wait_packages(collector* c, size_t count, unsigned timeoutMs);
/* Hands the packages over to the caller, who deletes them. */
size_t collector_take_packages(collector* c, mirt_ostra_data_package** out, size_t capacity);

/* Waits until `parser` reports MIRT_STATE_ERROR; returns its error. */
mirt_error_code wait_for_error_state(mirt_varnel* parser, unsigned timeoutMs);

#endif /* VARNEL_TESTS_COLLECTOR_H */
