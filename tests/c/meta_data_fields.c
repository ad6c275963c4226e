/* Prints the fields of mirt_ostra_meta_data as this compiler lays them
 * out, one "NAME OFFSET SIZE" line each in their order, then "sizeof SIZE"
 * for the whole record: the table that the Python package's record and
 * dtype are checked against. */
#include <stddef.h>
#include <stdio.h>

#include "varnel/varnel.h"
#include "varnel_meta_data_fields.h"

#define PRINT_FIELD(name)                                                            \
  printf("%s %lu %lu\n", #name, (unsigned long)offsetof(mirt_ostra_meta_data, name), \
         (unsigned long)sizeof(((mirt_ostra_meta_data*)0)->name));

int main(void) {
  VARNEL_META_DATA_FIELDS(PRINT_FIELD)
  printf("sizeof %lu\n", (unsigned long)sizeof(mirt_ostra_meta_data));
  return 0;
}
