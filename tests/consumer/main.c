/* The C interface from an installed Varnel: prints the version; with a
 * board's address, also receives 50 packages from it (retrying the connect
 * while the board starts, at most 10 s). */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* nanosleep under -std=c11 */
#endif
#include <stdatomic.h>
#include <stdio.h>
#include <varnel/varnel.h>

#if defined(_WIN32)
#include <windows.h>
static void pause10ms(void) { Sleep(10); }
#else
#include <time.h>
static void pause10ms(void) {
  struct timespec t = {0, 10000000L};
  nanosleep(&t, NULL);
}
#endif

static void onStream(mirt_ostra_data_stream* stream, void* user) {
  mirt_ostra_data_package* package;
  while ((package = mirt_ostra_data_stream_pop(stream, NULL)) != NULL) {
    atomic_fetch_add((atomic_uint*)user, 1u); /* the callback runs on the library's thread */
    mirt_ostra_data_package_delete(package, NULL);
  }
}

int main(int argc, char** argv) {
  mirt_version_info v = mirt_get_version_info();
  atomic_uint packages = 0;
  mirt_error_code error;
  mirt_varnel* parser;
  int turn;
  printf("Varnel %d.%d.%d (C)\n", (int)v.major, (int)v.minor, (int)v.patch);
  if (argc < 2) return 0;
  parser = mirt_varnel_create(argv[1], onStream, (void*)&packages, &error);
  if (parser == NULL) return 1;
  mirt_varnel_set_tcp_timeout(parser, 1, NULL);
  for (turn = 0; turn <= 20; ++turn) {
    mirt_varnel_connect(parser, &error);
    if (error == MIRT_ERROR_NONE) break;
    for (int i = 0; i < 50; ++i) pause10ms(); /* the board may still be starting */
  }
  if (error != MIRT_ERROR_NONE) {
    printf("connect failed: %s\n", mirt_get_last_error_message());
    mirt_varnel_delete(parser, NULL);
    return 1;
  }
  for (turn = 0; turn < 1000 && atomic_load(&packages) < 50; ++turn) pause10ms();
  mirt_varnel_disconnect(parser, NULL);
  mirt_varnel_delete(parser, NULL);
  printf("%u packages\n", (unsigned)atomic_load(&packages));
  return atomic_load(&packages) >= 50 ? 0 : 1;
}
