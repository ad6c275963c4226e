/* C-callable access to the tests' fake board and to the few things a C99
 * test needs besides: a clock, a sleep and a lock.
 *
 * The boards listen on a loopback address, port 63751. Every function
 * catches what it calls: a start that fails prints the reason to stderr
 * and returns NULL. */
#ifndef VARNEL_TESTS_BOARD_SHIM_H
#define VARNEL_TESTS_BOARD_SHIM_H

#include <stddef.h>
#include <stdint.h>

#include "varnel/varnel.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct shim_board shim_board;

/* Sends `count` valid packages numbered first, first + 1, ... at once
 * (headerValue the number, waveform type of channel c is c + 1, samples
 * from shim_numbered_sample, meta data of a board that passes the version
 * check), then holds the connection open. count 0: a silent board. */
shim_board* shim_board_numbered(const char* address, uint64_t first, size_t count, uint32_t channels,
                                uint32_t samplesPerChannel);
/* Sends one package with two channels of four samples and the meta data
 * `meta` (its statusWord and headerValue go into the header), then holds
 * the connection open. */
shim_board* shim_board_with_meta(const char* address, const mirt_ostra_meta_data* meta);
/* Sends one package of a board too old for the library (DSP 1645,
 * firmware 38, BIOS 0x3F), then holds the connection open. */
shim_board* shim_board_too_old(const char* address);
/* Listens but never accepts: a client's connect neither succeeds nor
 * fails until the board is stopped. */
shim_board* shim_board_never_accepting(const char* address);
/* Stops the board and frees it; NULL is ignored. */
void shim_board_stop(shim_board* board);

size_t shim_board_clients_accepted(const shim_board* board);
/* 1 once the client has closed its connection, 0 after timeoutMs. */
int shim_board_wait_client_closed(const shim_board* board, unsigned timeoutMs);

/* Sample `index` of `channel` in the numbered package `number`. */
uint32_t shim_numbered_sample(uint64_t number, uint32_t channel, uint32_t index);

/* The C tests' loopback address number `host` (1 to 254), from the tests'
 * one allocation of addresses; the text stays valid for the process. */
const char* shim_loopback(unsigned host);

/* Monotonic milliseconds. */
uint64_t shim_now_ms(void);
void shim_sleep_ms(unsigned milliseconds);
/* Threads of this process now. */
size_t shim_thread_count(void);

typedef struct shim_mutex shim_mutex;
shim_mutex* shim_mutex_create(void);
void shim_mutex_destroy(shim_mutex* mutex);
void shim_mutex_lock(shim_mutex* mutex);
void shim_mutex_unlock(shim_mutex* mutex);

#ifdef __cplusplus
}
#endif

#endif /* VARNEL_TESTS_BOARD_SHIM_H */
