#include "c/collector.h"

#include <string.h>

#include "c/harness.h"

void collector_init(collector* c) {
  memset(c, 0, sizeof *c);
  c->mutex = shim_mutex_create();
  c->deleteError = JUNK_ERROR;
}

void collector_free(collector* c) {
  size_t i;
  for (i = 0; i < c->packageCount; ++i) mirt_ostra_data_package_delete(c->packages[i], NULL);
  c->packageCount = 0;
  shim_mutex_destroy(c->mutex);
  c->mutex = NULL;
}

void collector_callback(mirt_ostra_data_stream* stream, void* userData) {
  collector* c = (collector*)userData;
  mirt_error_code error = JUNK_ERROR;
  mirt_ostra_data_package* package;
  const size_t size = mirt_ostra_data_stream_get_size(stream, &error);
  int faults = error != MIRT_ERROR_NONE || mirt_ostra_data_stream_get_size(stream, NULL) != size;

  shim_mutex_lock(c->mutex);
  if (c->deleted) {
    ++c->callsAfterDelete;
    shim_mutex_unlock(c->mutex);
    return;
  }
  if (c->calls < COLLECTOR_CAPACITY) c->sizes[c->calls] = size;
  if (c->calls == 0) c->firstStream = stream;
  if (stream != c->firstStream) c->streamChanged = 1;
  c->lastUserData = userData;
  ++c->calls;

  /* The first package with a null error pointer, the others with one. */
  package = mirt_ostra_data_stream_pop(stream, NULL);
  while (package != NULL) {
    if (c->packageCount < COLLECTOR_CAPACITY) {
      c->packages[c->packageCount++] = package;
    } else {
      mirt_ostra_data_package_delete(package, NULL);
    }
    error = JUNK_ERROR;
    package = mirt_ostra_data_stream_pop(stream, &error);
    faults += error != MIRT_ERROR_NONE;
  }
  /* Emptied: the size is 0 and popping again gives nothing, without error. */
  error = JUNK_ERROR;
  faults += mirt_ostra_data_stream_get_size(stream, &error) != 0 || error != MIRT_ERROR_NONE;
  error = JUNK_ERROR;
  faults += mirt_ostra_data_stream_pop(stream, &error) != NULL || error != MIRT_ERROR_NONE;
  c->streamFaults += faults;

  if (c->armed && c->deleteParser) {
    mirt_varnel_delete(c->parser, &c->deleteError);
    c->parser = NULL;
    c->deleted = 1;
  }
  shim_mutex_unlock(c->mutex);
}

void collector_arm(collector* c) {
  shim_mutex_lock(c->mutex);
  c->armed = 1;
  shim_mutex_unlock(c->mutex);
}

size_t collector_calls(collector* c) {
  size_t n;
  shim_mutex_lock(c->mutex);
  n = c->calls;
  shim_mutex_unlock(c->mutex);
  return n;
}

size_t collector_package_count(collector* c) {
  size_t n;
  shim_mutex_lock(c->mutex);
  n = c->packageCount;
  shim_mutex_unlock(c->mutex);
  return n;
}

int collector_deleted(collector* c) {
  int deleted;
  shim_mutex_lock(c->mutex);
  deleted = c->deleted;
  shim_mutex_unlock(c->mutex);
  return deleted;
}

typedef struct count_wait {
  collector* c;
  size_t count;
} count_wait;

static int enough_calls(void* context) {
  count_wait* w = (count_wait*)context;
  return collector_calls(w->c) >= w->count;
}

static int enough_packages(void* context) {
  count_wait* w = (count_wait*)context;
  return collector_package_count(w->c) >= w->count;
}

int collector_wait_calls(collector* c, size_t count, unsigned timeoutMs) {
  count_wait w;
  w.c = c;
  w.count = count;
  return harness_eventually(enough_calls, &w, timeoutMs);
}

int collector_wait_packages(collector* c, size_t count, unsigned timeoutMs) {
  count_wait w;
  w.c = c;
  w.count = count;
  return harness_eventually(enough_packages, &w, timeoutMs);
}

size_t collector_take_packages(collector* c, mirt_ostra_data_package** out, size_t capacity) {
  size_t i;
  size_t n;
  shim_mutex_lock(c->mutex);
  n = c->packageCount < capacity ? c->packageCount : capacity;
  for (i = 0; i < n; ++i) out[i] = c->packages[i];
  /* Whatever did not fit stays with the collector. */
  memmove(c->packages, c->packages + n, (c->packageCount - n) * sizeof c->packages[0]);
  c->packageCount -= n;
  shim_mutex_unlock(c->mutex);
  return n;
}

typedef struct state_wait {
  mirt_varnel* parser;
  mirt_error_code error;
} state_wait;

static int in_error_state(void* context) {
  state_wait* w = (state_wait*)context;
  return mirt_varnel_get_state(w->parser, &w->error) == MIRT_STATE_ERROR;
}

mirt_error_code wait_for_error_state(mirt_varnel* parser, unsigned timeoutMs) {
  state_wait w;
  w.parser = parser;
  w.error = JUNK_ERROR;
  if (!harness_eventually(in_error_state, &w, timeoutMs)) return JUNK_ERROR;
  return w.error;
}
