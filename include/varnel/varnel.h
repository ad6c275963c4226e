/* Varnel: client library for the live data stream of an Ostra6 board.
 *
 * The C interface. Every function is a thin wrapper over the class
 * interface of varnel.hpp: create one parser per board with
 * mirt_varnel_create, set the three connection settings, connect, and
 * receive batches of packages (mirt_ostra_data_stream) in the callback on
 * the library's I/O thread. Pop the packages you want inside the callback;
 * you own them until you pass them to mirt_ostra_data_package_delete.
 *
 * Errors: every function except those that cannot fail
 * (mirt_get_version_info, mirt_varnel_has_feature, mirt_get_last_error_message,
 * mirt_get_last_failure_cause) takes a last parameter
 * `mirt_error_code* error`, which may be NULL. The function first
 * writes MIRT_ERROR_NONE to it; when the call fails it writes the error's
 * code and returns the neutral value named in the function's comment. No
 * exception ever leaves a function of this interface; the message text of
 * the last failure on a thread is kept for mirt_get_last_error_message.
 *
 * Handles are not checked: pass only handles the library gave you and that
 * you have not deleted, except where a comment says NULL is accepted.
 *
 * Threads: the functions of one parser are meant to be called from one
 * thread at a time (its callback counts as one); mirt_varnel_get_state,
 * mirt_varnel_is_connected and mirt_varnel_get_async_error may be called
 * while the library's I/O thread is delivering, and the statistics and
 * the functions of packages a caller owns from any thread. Different
 * parsers are independent.
 *
 * ABI: the functions have C linkage, undecorated names and the platform's
 * default C calling convention. The three handle types are opaque and only
 * ever passed by pointer. The enumerations are 32 bits wide; their values
 * are fixed. mirt_version_info is three 32-bit integers (12 bytes).
 * mirt_ostra_meta_data is 96 bytes with 8-byte alignment in 32-bit and
 * 64-bit builds alike: its 64-bit fields are aligned to 8 bytes also where
 * the platform would align them to 4, so the record matches the library's
 * own. Both records are returned by value. mirt_receive_time is two 64-bit
 * integers (16 bytes, 8-byte alignment everywhere), and
 * mirt_varnel_statistics, which begins with its own size so that it can
 * grow, has one layout (120 bytes in this version) in every build.
 * Functions and fields are only ever added, never changed or reordered. */
#ifndef VARNEL_VARNEL_H
#define VARNEL_VARNEL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "varnel/varnel_export.h"

/* Aligns the declaration that follows to 8 bytes. */
#if defined(_MSC_VER)
#define MIRT_ALIGNED8 __declspec(align(8))
#elif defined(__GNUC__) || defined(__clang__)
#define MIRT_ALIGNED8 __attribute__((aligned(8)))
#elif defined(__cplusplus) && __cplusplus >= 201103L
#define MIRT_ALIGNED8 alignas(8)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define MIRT_ALIGNED8 _Alignas(8)
#else
#error "varnel.h: no way known to align a field to 8 bytes with this compiler"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A parser for one board; from mirt_varnel_create to mirt_varnel_delete. */
typedef struct mirt_varnel mirt_varnel;
/* The batch of packages handed to the callback; owned by the library and
 * valid only during the callback. */
typedef struct mirt_ostra_data_stream mirt_ostra_data_stream;
/* One popped package; owned by the caller until
 * mirt_ostra_data_package_delete, also after its parser is deleted. */
typedef struct mirt_ostra_data_package mirt_ostra_data_package;

/* Called on the library's I/O thread with the parser's stream and the
 * userData given to mirt_varnel_create, each time a batch is handed over:
 * when it holds the package counter's number of packages, when the board
 * ends a stream, or when the wait time has passed (then possibly empty).
 * No package is read while it runs, so it should return soon. It must not
 * call mirt_varnel_disconnect for its own parser (that fails with
 * MIRT_ERROR_GENERAL). */
typedef void (*mirt_varnel_callback)(mirt_ostra_data_stream* stream, void* userData);

/* The library's version. */
typedef struct mirt_version_info {
  int32_t major;
  int32_t minor;
  int32_t patch;
} mirt_version_info;

/* The meta data of one package, as the board sent it. The names of the
 * numbered fields give the package offset they were read from. */
typedef struct mirt_ostra_meta_data {
  uint32_t statusWord; /* bit 30: the stream goes on */
  MIRT_ALIGNED8 uint64_t headerValue;
  uint32_t word36;
  uint32_t dspVersion;
  uint32_t firmwareVersion;
  uint32_t biosVersion;
  uint32_t word52;
  uint32_t word56;
  uint32_t word60;
  uint32_t word64;
  uint32_t word68;
  MIRT_ALIGNED8 double real72;
  MIRT_ALIGNED8 double real80;
  uint32_t word88;
  uint32_t word92;
  uint32_t word96;
  uint16_t half100;
  uint16_t half102;
  uint32_t word104;
  uint32_t word108;
} mirt_ostra_meta_data;

/* When a package arrived: the moment the read that completed it returned,
 * on two clocks. One read often completes many packages, which then share
 * the time. */
typedef struct mirt_receive_time {
  MIRT_ALIGNED8 int64_t systemTimeNs; /* system clock: ns since 1970-01-01 UTC (may jump) */
  MIRT_ALIGNED8 int64_t steadyTimeNs; /* steady clock (the library's std::chrono::steady_clock): ns */
} mirt_receive_time;

/* What a parser has done since it was created; nothing resets the
 * figures. Each figure is read on its own, so a record filled while
 * packages arrive may have, say, the packages of one read counted but not
 * yet their bytes. The caller sets `size`; see mirt_varnel_get_statistics. */
typedef struct mirt_varnel_statistics {
  uint32_t size;                      /* sizeof(mirt_varnel_statistics), set by the caller */
  MIRT_ALIGNED8 uint64_t connections; /* connections established */
  uint64_t failures;                  /* failures recorded: failed connects and connections that failed */
  uint64_t packages;                  /* packages received complete and accepted by the checks */
  uint64_t bytes;                     /* their bytes on the wire (package sizes, headers included) */
  uint64_t handOvers;                 /* calls of the callback, empty ones included */
  uint64_t emptyHandOvers;            /* hand-overs without a package (the wait time passed) */
  uint64_t largestHandOver;           /* the most packages one hand-over held */
  uint64_t packagesNotPopped;         /* left in the stream by the callback, destroyed unpopped */
  uint64_t callbackTotalNs;           /* time spent in the callback, all hand-overs, ns */
  uint64_t callbackLongestNs;         /* the longest single call of the callback, ns */
  mirt_receive_time lastReceiveTime;  /* of the last package received; zeros before the first */
  mirt_receive_time connectedTime;    /* when the current connection was established; zeros while none */
} mirt_varnel_statistics;

/* What a receive observer (mirt_varnel_set_receive_observer) is told on
 * the parser's I/O thread: the start of a connection, the bytes of every
 * read from the board, and how the board ended the connection. The
 * pointers are valid only during the call. */
typedef struct mirt_received_bytes {
  int32_t event; /* one of the MIRT_RECEIVED_* values */
  /* When the read returned (connected: when the connect completed), on the
   * system clock: nanoseconds since 1970-01-01 UTC. */
  MIRT_ALIGNED8 int64_t receiveTimeNs;
  const uint8_t* data; /* MIRT_RECEIVED_DATA: the bytes read; else NULL */
  size_t size;         /* MIRT_RECEIVED_DATA: their count (never 0); else 0 */
  /* The connection's numeric addresses and ports, in every event. */
  const char* localAddress;
  const char* boardAddress;
  uint16_t localPort;
  uint16_t boardPort;
  const char* text; /* the ends: the system's text; else "" */
} mirt_received_bytes;

/* The values of mirt_received_bytes.event. */
enum {
  MIRT_RECEIVED_CONNECTED = 0, /* the connection to the board is established */
  MIRT_RECEIVED_DATA = 1,      /* one read brought `size` bytes at `data` */
  MIRT_RECEIVED_CLOSED = 2,    /* the board closed the connection in order */
  MIRT_RECEIVED_RESET = 3,     /* the board reset the connection */
  MIRT_RECEIVED_FAILED = 4     /* the connection failed otherwise; `text` says how */
};

/* Called on the library's I/O thread with each event of the raw byte
 * stream and the userData given to mirt_varnel_set_receive_observer. */
typedef void (*mirt_receive_observer)(const mirt_received_bytes* bytes, void* userData);

/* The values written through the `error` parameter. */
typedef enum mirt_error_code {
  MIRT_ERROR_NONE = 0,              /* the call succeeded */
  MIRT_ERROR_CONNECTION_FAILED = 1, /* the connection could not be established */
  MIRT_ERROR_COMMUNICATION = 2,     /* the TCP exchange failed, or a package was malformed */
  MIRT_ERROR_GENERAL = 3,           /* any other failure */
  MIRT_ERROR_VERSION_MISMATCH = 4   /* wrong protocol version, or board firmware too old */
} mirt_error_code;

/* The application's view of the connection. */
typedef enum mirt_connection_state {
  MIRT_STATE_CONNECTED = 0,     /* connected; no unfinished stream handed over */
  MIRT_STATE_RECEIVING = 1,     /* a stream the board has not finished was handed over */
  MIRT_STATE_NOT_CONNECTED = 2, /* idle, connecting or disconnected */
  MIRT_STATE_ERROR = 3          /* an asynchronous error is recorded */
} mirt_connection_state;

/* What ended a connection or made a connect fail (see
 * mirt_get_last_failure_cause); the values are fixed. */
typedef enum mirt_failure_cause {
  MIRT_CAUSE_NONE = 0,                    /* no failure of a connection */
  MIRT_CAUSE_REFUSED = 1,                 /* connect: refused (nothing listens on the port) */
  MIRT_CAUSE_UNREACHABLE = 2,             /* connect: no route to the board's host or network */
  MIRT_CAUSE_CONNECT_TIMED_OUT = 3,       /* connect: no answer within the TCP time-out */
  MIRT_CAUSE_CLOSED_BETWEEN_PACKAGES = 4, /* the board closed where a package would begin */
  MIRT_CAUSE_CLOSED_INSIDE_PACKAGE = 5,   /* the board closed inside a header or a body */
  MIRT_CAUSE_RESET = 6,                   /* the board reset the connection (also while connecting) */
  MIRT_CAUSE_DEAD_LINK = 7,               /* the board stopped answering (keepalive, unreachable) */
  MIRT_CAUSE_MALFORMED_HEADER = 8,        /* a header was refused (empty, sizes, channels) */
  MIRT_CAUSE_MALFORMED_BODY = 9,          /* a body was refused (shorter than its header says) */
  MIRT_CAUSE_WRONG_PROTOCOL_VERSION = 10, /* another protocol version (MIRT_ERROR_VERSION_MISMATCH) */
  MIRT_CAUSE_BOARD_TOO_OLD = 11,          /* board versions too old (MIRT_ERROR_VERSION_MISMATCH) */
  MIRT_CAUSE_CALLBACK_THREW = 12,         /* the callback failed (a C++ exception, a NULL callback) */
  MIRT_CAUSE_OTHER = 13                   /* any other failure */
} mirt_failure_cause;

/* Returns the library's version, 1.1.0. Cannot fail. */
VARNEL_API mirt_version_info mirt_get_version_info(void);

/* Returns whether this library offers `name`, an addition to the interface
 * of its version (which stays 1.1.0 for such additions); see mirt::hasFeature
 * in varnel.hpp for the names ("pop_batch", "statistics", ...). false for
 * any other name and for NULL. Cannot fail. */
VARNEL_API bool mirt_varnel_has_feature(const char* name);

/* Returns the message text of the error that the last mirt_* call on the
 * calling thread reported (for example "waitForConnectionLockFree:
 * Connection timeout"), or "" when that call succeeded. Each thread has its
 * own text. Never NULL; the text is owned by the library and valid until
 * the next mirt_* call on the same thread (this function aside). Cannot
 * fail. */
VARNEL_API const char* mirt_get_last_error_message(void);

/* Creates a parser for the board at `address` (numeric IPv4 or IPv6 text,
 * parsed only at each connect) that calls `callback` with `userData` for
 * every batch. Connects nothing and starts no thread. Neither `callback`
 * nor `userData` is checked; with a NULL callback every hand-over fails as
 * an asynchronous error. Returns NULL on failure, leaving nothing
 * allocated. */
VARNEL_API mirt_varnel* mirt_varnel_create(const char* address, mirt_varnel_callback callback, void* userData,
                                           mirt_error_code* error);

/* Disconnects (waiting for the I/O thread) and frees the parser; `handle`
 * is invalid afterwards. Popped packages stay valid. Does nothing for a
 * NULL handle. May be called from inside the parser's own callback (or
 * receive observer), also while mirt_varnel_connect has not returned yet
 * (it then reports success): the connection winds down on its own thread
 * once the callback returns, and the callback is not called again. Not in
 * the hand-over that mirt_varnel_disconnect or mirt_varnel_delete makes
 * (that call still uses the parser): there it fails with
 * MIRT_ERROR_GENERAL and the parser stays. */
VARNEL_API void mirt_varnel_delete(mirt_varnel* handle, mirt_error_code* error);

/* Connects to the board (port 63751) and blocks until the connection is
 * established or has failed, at most about the TCP time-out. Does nothing
 * while a healthy connection exists; a failed one (MIRT_STATE_ERROR) is
 * discarded without reporting its error, and a new attempt starts.
 * Succeeds once the connection is established, also when it has failed
 * again before this call returns; that failure is then reported like any
 * failure of an established connection (MIRT_STATE_ERROR,
 * mirt_varnel_get_async_error). Only for an attempt that never got
 * established the error is MIRT_ERROR_CONNECTION_FAILED (the cause is then
 * recorded: see mirt_varnel_get_state) and nothing of the attempt runs on:
 * the callback was not called for it. MIRT_ERROR_GENERAL for an address
 * that is not a numeric IPv4 or IPv6 address (a host name, a port suffix,
 * an empty text), with a text naming it in mirt_get_last_error_message;
 * nothing is recorded then. */
VARNEL_API void mirt_varnel_connect(mirt_varnel* handle, mirt_error_code* error);

/* Closes the connection (waiting for the I/O thread), then reports the
 * recorded asynchronous error, if any, through `error`. The packages
 * collected since the last hand-over, with those the last read brought,
 * are handed to the callback in one hand-over before it returns (a stream
 * the board ended among them still ends its own); a callback that runs
 * meanwhile finishes first. What the board sends from then on is not
 * read. Inside the callback it fails with MIRT_ERROR_GENERAL and changes
 * nothing. */
VARNEL_API void mirt_varnel_disconnect(mirt_varnel* handle, mirt_error_code* error);

/* Returns true while connected or receiving; false on failure. */
VARNEL_API bool mirt_varnel_is_connected(mirt_varnel* handle, mirt_error_code* error);

/* Returns the connection state. In the state MIRT_STATE_ERROR the recorded
 * asynchronous error's code is written to `error`. Returns
 * MIRT_STATE_ERROR on failure. */
VARNEL_API mirt_connection_state mirt_varnel_get_state(mirt_varnel* handle, mirt_error_code* error);

/* Writes the recorded asynchronous error's code to `error`, or
 * MIRT_ERROR_NONE when none is recorded. Returns nothing. */
VARNEL_API void mirt_varnel_get_async_error(mirt_varnel* handle, mirt_error_code* error);

/* Sets the TCP time-out t in seconds (0 counts as 1; default 10): connect
 * gives up after about t s, and a board that stops answering (switched
 * off, cable pulled) is reported after about t s without a byte from it
 * (the system probes the idle connection; never before t, at most
 * 2t + 2 s). A board that is alive but sends nothing stays connected.
 * Fails, changing nothing, with the recorded asynchronous error's code
 * when one is recorded. */
VARNEL_API void mirt_varnel_set_tcp_timeout(mirt_varnel* handle, uint32_t timeout, mirt_error_code* error);

/* Sets the number of packages at which a batch is handed over (default 25;
 * 0 is ignored). Takes effect at the next connect. Does not fail. */
VARNEL_API void mirt_varnel_set_package_counter(mirt_varnel* handle, uint32_t count, mirt_error_code* error);

/* Sets the longest time in milliseconds between two hand-overs (default
 * 250; 0 is ignored). Takes effect at the next connect. Does not fail. */
VARNEL_API void mirt_varnel_set_wait_time_ms(mirt_varnel* handle, uint32_t milliseconds,
                                             mirt_error_code* error);

/* Fills `statistics` with what the parser has done since it was created.
 * The caller sets statistics->size to the size of the record it knows
 * (sizeof(mirt_varnel_statistics)), at least 120; the library fills the
 * fields that fit in it, zeroes the bytes behind the fields it knows of
 * (those of a later version), and leaves `size` as it is. Returns the
 * number of bytes filled with figures, counted from the record's start:
 * the smaller of `size` and the library's record. May be called from any
 * thread at any time, the callback included; takes no lock. Fails with
 * MIRT_ERROR_GENERAL, returning 0 and leaving the record as it is, for
 * a NULL record or a size below 120. */
VARNEL_API size_t mirt_varnel_get_statistics(mirt_varnel* handle, mirt_varnel_statistics* statistics,
                                             mirt_error_code* error);

/* Sets the function that sees the raw bytes read from the board, with
 * `userData` (NULL removes it; none by default), for capturing the stream.
 * It runs on the I/O thread before the bytes are checked, so it also sees
 * what the library then refuses, and must return soon. Without an observer
 * reading costs nothing more. Takes effect at the next connect. Does not
 * fail. */
VARNEL_API void mirt_varnel_set_receive_observer(mirt_varnel* handle, mirt_receive_observer observer,
                                                 void* userData, mirt_error_code* error);

/* Returns the number of packages the stream holds; 0 on failure. */
VARNEL_API size_t mirt_ostra_data_stream_get_size(mirt_ostra_data_stream* stream, mirt_error_code* error);

/* Takes the oldest package out of the stream and returns it; the caller
 * owns it from now on. Returns NULL, with MIRT_ERROR_NONE, when the stream
 * is empty, and NULL on failure. */
VARNEL_API mirt_ostra_data_package* mirt_ostra_data_stream_pop(mirt_ostra_data_stream* stream,
                                                               mirt_error_code* error);

/* An extension of the interface, for callers that want many packages per
 * call (bindings of other languages, where every call costs): takes, from
 * the front of the stream, the packages that share the first one's shape
 * (channel count and samples per channel), as many as fit, and copies them
 * into the caller's arrays; the packages are freed, the rest stay in the
 * stream. At most `maxPackages` packages are taken, and only as many as
 * `sampleCapacity` samples (not bytes) hold. For the i-th package taken:
 * its meta data goes to metaData[i], its eight waveform type slots (0 past
 * its channels) to waveformTypes[8 * i] to [8 * i + 7], and its samples,
 * channel after channel, to samples[i * channels * samplesPerChannel] on.
 * metaData and waveformTypes may be NULL (not copied); samples may be NULL
 * when sampleCapacity is 0. The shape is written to *channels and
 * *samplesPerChannel (either may be NULL). Returns the number of packages
 * taken: 0 for an empty stream (shape 0 x 0), and 0 with the first
 * package's shape when not even it fits, so that a call with
 * sampleCapacity 0 tells how much room a batch needs. 0 on failure. Only
 * inside the callback, like every use of the stream. */
VARNEL_API size_t mirt_ostra_data_stream_pop_batch(mirt_ostra_data_stream* stream, size_t maxPackages,
                                                   mirt_ostra_meta_data* metaData, uint32_t* waveformTypes,
                                                   uint32_t* samples, size_t sampleCapacity,
                                                   uint32_t* channels, uint32_t* samplesPerChannel,
                                                   mirt_error_code* error);

/* mirt_ostra_data_stream_pop_batch, which also writes the receive time of
 * the i-th package taken to receiveTimes[i] (not copied when NULL). */
VARNEL_API size_t mirt_ostra_data_stream_pop_batch_timed(mirt_ostra_data_stream* stream, size_t maxPackages,
                                                         mirt_ostra_meta_data* metaData,
                                                         mirt_receive_time* receiveTimes,
                                                         uint32_t* waveformTypes, uint32_t* samples,
                                                         size_t sampleCapacity, uint32_t* channels,
                                                         uint32_t* samplesPerChannel, mirt_error_code* error);

/* Frees a popped package; `package` is invalid afterwards. Does nothing
 * for a NULL package. May be called on any thread. */
VARNEL_API void mirt_ostra_data_package_delete(mirt_ostra_data_package* package, mirt_error_code* error);

/* Returns the number of samples per channel; 0 on failure. */
VARNEL_API size_t mirt_ostra_data_package_get_size(mirt_ostra_data_package* package, mirt_error_code* error);

/* Returns the number of channels (0 to 8); 0 on failure. */
VARNEL_API size_t mirt_ostra_data_package_get_channel_count(mirt_ostra_data_package* package,
                                                            mirt_error_code* error);

/* Copies the samples of `channel` (0 to 7) into `buffer`, at most
 * `bufferSize` samples (not bytes), and returns how many it copied: the
 * smaller of the channel's length and `bufferSize`. A channel at or beyond
 * the channel count has no samples. Returns 0 for a NULL buffer (no
 * error), and 0 on failure: MIRT_ERROR_GENERAL for a channel of 8 or
 * more. */
VARNEL_API size_t mirt_ostra_data_package_get_waveform(mirt_ostra_data_package* package, uint32_t* buffer,
                                                       size_t bufferSize, uint32_t channel,
                                                       mirt_error_code* error);

/* Returns the waveform type code of `channel`; 0 on failure:
 * MIRT_ERROR_GENERAL for a channel at or beyond the channel count. */
VARNEL_API uint32_t mirt_ostra_data_package_get_waveform_type(mirt_ostra_data_package* package,
                                                              size_t channel, mirt_error_code* error);

/* Returns a copy of the package's meta data; a record of all zeros on
 * failure. */
VARNEL_API mirt_ostra_meta_data mirt_ostra_data_package_get_meta_data(mirt_ostra_data_package* package,
                                                                      mirt_error_code* error);

/* Returns when the package arrived (see mirt_receive_time); a record of
 * zeros on failure. */
VARNEL_API mirt_receive_time mirt_ostra_data_package_get_receive_time(mirt_ostra_data_package* package,
                                                                      mirt_error_code* error);

/* The failure cause, beside code and text: returns the cause of the error
 * that the last mirt_* call on the calling thread reported, read with its
 * code and its text (mirt_get_last_error_message) from one record, so the
 * three always belong together. The cause is that of the recorded failure
 * for the calls that report it (mirt_varnel_connect, _disconnect,
 * _get_state, _get_async_error, _set_tcp_timeout), MIRT_CAUSE_NONE for
 * every other error and after a call that succeeded. Cannot fail. */
VARNEL_API mirt_failure_cause mirt_get_last_failure_cause(void);

#ifdef __cplusplus
}
#endif

#endif /* VARNEL_VARNEL_H */
