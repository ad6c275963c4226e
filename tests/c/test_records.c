/* The values and records of the C interface, as a C compiler sees them. */
#include <stdio.h>

#include "c/harness.h"
#include "c/tests.h"
#include "varnel/varnel.h"

/* The record at offset 8 behind a char: the record is aligned to 8. */
typedef struct meta_behind_char {
  char c;
  mirt_ostra_meta_data meta;
} meta_behind_char;

void test_version_info(void) {
  const mirt_version_info v = mirt_get_version_info();
  CHECK_EQ(v.major, 1);
  CHECK_EQ(v.minor, 1);
  CHECK_EQ(v.patch, 0);
  CHECK_EQ(sizeof(mirt_version_info), 12);
}

void test_enumeration_values(void) {
  CHECK_EQ(sizeof(mirt_error_code), 4);
  CHECK_EQ(sizeof(mirt_connection_state), 4);
  CHECK_EQ(MIRT_ERROR_NONE, 0);
  CHECK_EQ(MIRT_ERROR_CONNECTION_FAILED, 1);
  CHECK_EQ(MIRT_ERROR_COMMUNICATION, 2);
  CHECK_EQ(MIRT_ERROR_GENERAL, 3);
  CHECK_EQ(MIRT_ERROR_VERSION_MISMATCH, 4);
  CHECK_EQ(MIRT_STATE_CONNECTED, 0);
  CHECK_EQ(MIRT_STATE_RECEIVING, 1);
  CHECK_EQ(MIRT_STATE_NOT_CONNECTED, 2);
  CHECK_EQ(MIRT_STATE_ERROR, 3);
}

/* The library's own record has these offsets in 32-bit and 64-bit builds
 * (checked against it at the library's compile time); a C compiler must
 * lay the C record out the same way. */
void test_meta_data_layout(void) {
#define FIELD(name, offset, size)                                                     \
  do {                                                                                \
    printf("  %-16s %2u %u\n", #name, (unsigned)offsetof(mirt_ostra_meta_data, name), \
           (unsigned)sizeof(((mirt_ostra_meta_data*)0)->name));                       \
    CHECK_EQ(offsetof(mirt_ostra_meta_data, name), offset);                           \
    CHECK_EQ(sizeof(((mirt_ostra_meta_data*)0)->name), size);                         \
  } while (0)
  printf("  mirt_ostra_meta_data: size %u, pointer size %u\n", (unsigned)sizeof(mirt_ostra_meta_data),
         (unsigned)sizeof(void*));
  FIELD(statusWord, 0, 4);
  FIELD(headerValue, 8, 8);
  FIELD(word36, 16, 4);
  FIELD(dspVersion, 20, 4);
  FIELD(firmwareVersion, 24, 4);
  FIELD(biosVersion, 28, 4);
  FIELD(word52, 32, 4);
  FIELD(word56, 36, 4);
  FIELD(word60, 40, 4);
  FIELD(word64, 44, 4);
  FIELD(word68, 48, 4);
  FIELD(real72, 56, 8);
  FIELD(real80, 64, 8);
  FIELD(word88, 72, 4);
  FIELD(word92, 76, 4);
  FIELD(word96, 80, 4);
  FIELD(half100, 84, 2);
  FIELD(half102, 86, 2);
  FIELD(word104, 88, 4);
  FIELD(word108, 92, 4);
#undef FIELD
  CHECK_EQ(sizeof(mirt_ostra_meta_data), 96);
  CHECK_EQ(offsetof(meta_behind_char, meta), 8);
  CHECK_EQ(offsetof(mirt_version_info, major), 0);
  CHECK_EQ(offsetof(mirt_version_info, minor), 4);
  CHECK_EQ(offsetof(mirt_version_info, patch), 8);
}
