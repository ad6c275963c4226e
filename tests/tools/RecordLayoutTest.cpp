// The /packages record of varnel-monitor --record begins with the fields of
// the C interface's meta data record, in their order, under their names and
// at their offsets and sizes; the recorder's own columns follow.
#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "monitor/Recorder.hpp"
#include "support/MetaDataFields.hpp"

namespace {

TEST(RecordLayout, PackageRecordBeginsWithTheMetaDataFields) {
  const std::vector<monitor::RecordMember> members = monitor::Recorder::packageRecord();
  ASSERT_GE(members.size(), std::size(support::metaDataFields));
  for (std::size_t i = 0; i < std::size(support::metaDataFields); ++i) {
    const support::MetaDataField& field = support::metaDataFields[i];
    EXPECT_EQ(members[i].name, field.name) << "member " << i;
    EXPECT_EQ(members[i].offset, field.offset) << field.name;
    EXPECT_EQ(members[i].size, field.size) << field.name;
  }
}

}  // namespace
