#pragma once

// The fields of the C interface's meta data record, read from
// include/varnel/varnel.h at configure time (varnel_meta_data_fields.h,
// see tests/CMakeLists.txt), with their offsets and sizes as the compiler
// lays the record out. The lists of the fields that cannot be derived from
// the header are checked against this one.

#include <cstddef>

#include "varnel/varnel.h"
#include "varnel/varnel.hpp"
#include "varnel_meta_data_fields.h"

namespace support {

struct MetaDataField {
  const char* name;
  std::size_t offset;
  std::size_t size;
};

#define VARNEL_META_DATA_FIELD(name) \
  MetaDataField{#name, offsetof(mirt_ostra_meta_data, name), sizeof(mirt_ostra_meta_data::name)},
inline constexpr MetaDataField metaDataFields[] = {VARNEL_META_DATA_FIELDS(VARNEL_META_DATA_FIELD)};
#undef VARNEL_META_DATA_FIELD

// The class interface's record has every field at the C record's offset.
#define VARNEL_SAME_PLACE(name)                                                                \
  static_assert(offsetof(mirt::OstraMetaData, name) == offsetof(mirt_ostra_meta_data, name) && \
                sizeof(mirt::OstraMetaData::name) == sizeof(mirt_ostra_meta_data::name));
VARNEL_META_DATA_FIELDS(VARNEL_SAME_PLACE)
#undef VARNEL_SAME_PLACE
static_assert(sizeof(mirt::OstraMetaData) == sizeof(mirt_ostra_meta_data));

}  // namespace support
