/* A minimal test harness for C99: CHECK records a failure and goes on,
 * REQUIRE records it and leaves the test function. Checks are made on the
 * test's own thread only. */
#ifndef VARNEL_TESTS_HARNESS_H
#define VARNEL_TESTS_HARNESS_H

#include <stddef.h>

typedef struct harness_test {
  const char* name;
  void (*run)(void);
} harness_test;

void harness_fail(const char* file, int line, const char* text);
void harness_fail_eq(const char* file, int line, const char* actual, const char* expected,
                     unsigned long long actualValue, unsigned long long expectedValue);

#define CHECK(condition)                                            \
  do {                                                              \
    if (!(condition)) harness_fail(__FILE__, __LINE__, #condition); \
  } while (0)

/* Compares two integer values (pointers are compared with CHECK). */
#define CHECK_EQ(actual, expected)                                                     \
  do {                                                                                 \
    unsigned long long harness_a_ = (unsigned long long)(actual);                      \
    unsigned long long harness_e_ = (unsigned long long)(expected);                    \
    if (harness_a_ != harness_e_)                                                      \
      harness_fail_eq(__FILE__, __LINE__, #actual, #expected, harness_a_, harness_e_); \
  } while (0)

#define REQUIRE(condition)                          \
  do {                                              \
    if (!(condition)) {                             \
      harness_fail(__FILE__, __LINE__, #condition); \
      return;                                       \
    }                                               \
  } while (0)

/* Polls `condition(context)` every millisecond until it is true (returns 1)
 * or `timeoutMs` has passed (returns the last result). */
int harness_eventually(int (*condition)(void* context), void* context, unsigned timeoutMs);

/* Runs the tests named on the command line, or all in order without
 * arguments; --list prints the names. Returns the process exit status. */
int harness_main(const harness_test* tests, size_t count, int argc, char** argv);

#endif /* VARNEL_TESTS_HARNESS_H */
