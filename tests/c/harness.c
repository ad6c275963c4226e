#include "c/harness.h"

#include <stdio.h>
#include <string.h>

#include "c/board_shim.h"

static int failures = 0;

void harness_fail(const char* file, int line, const char* text) {
  ++failures;
  fprintf(stderr, "%s:%d: check failed: %s\n", file, line, text);
}

void harness_fail_eq(const char* file, int line, const char* actual, const char* expected,
                     unsigned long long actualValue, unsigned long long expectedValue) {
  ++failures;
  fprintf(stderr, "%s:%d: check failed: %s == %s\n  actual:   %llu (0x%llx)\n  expected: %llu (0x%llx)\n",
          file, line, actual, expected, actualValue, actualValue, expectedValue, expectedValue);
}

int harness_eventually(int (*condition)(void* context), void* context, unsigned timeoutMs) {
  const uint64_t deadline = shim_now_ms() + timeoutMs;
  unsigned long polls = 0;
  /* Bounded in time and, should the clock stand still, in count. */
  while (shim_now_ms() < deadline && polls < 4ul * timeoutMs + 10ul) {
    if (condition(context)) return 1;
    shim_sleep_ms(1);
    ++polls;
  }
  return condition(context);
}

static int run(const harness_test* test) {
  const int before = failures;
  printf("[ RUN  ] %s\n", test->name);
  fflush(stdout);
  test->run();
  printf("[ %s ] %s\n", failures == before ? " OK " : "FAIL", test->name);
  fflush(stdout);
  return failures == before;
}

int harness_main(const harness_test* tests, size_t count, int argc, char** argv) {
  size_t i;
  int a;
  if (argc == 2 && strcmp(argv[1], "--list") == 0) {
    for (i = 0; i < count; ++i) printf("%s\n", tests[i].name);
    return 0;
  }
  if (argc < 2) {
    for (i = 0; i < count; ++i) run(&tests[i]);
  }
  for (a = 1; a < argc; ++a) {
    int found = 0;
    for (i = 0; i < count; ++i) {
      if (strcmp(argv[a], tests[i].name) == 0) {
        found = 1;
        run(&tests[i]);
      }
    }
    if (!found) {
      fprintf(stderr, "no test named %s\n", argv[a]);
      return 2;
    }
  }
  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  return 0;
}
