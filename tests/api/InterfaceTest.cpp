// Binary properties of the class interface that applications rely on.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "varnel/varnel.h"
#include "varnel/varnel.hpp"

namespace {

using mirt::OstraMetaData;

TEST(Interface, VersionIsOneOneZero) {
  const mirt::VersionInfo v = mirt::getVersionInfo();
  EXPECT_EQ(v.major, 1);
  EXPECT_EQ(v.minor, 1);
  EXPECT_EQ(v.patch, 0);
}

// The additions since 1.1.0 are announced by name, the version stays.
TEST(Interface, FeaturesAreKnownByTheirDocumentedNamesOnly) {
  const struct {
    const char* name;
    bool offered;
  } rows[] = {
      {"last_error_message", true},
      {"pop_batch", true},
      {"pop_batch_timed", true},
      {"receive_time", true},
      {"statistics", true},
      {"failure_cause", true},
      {"receive_observer", true},
      {"", false},
      {"pop", false},
      {"pop_batch_", false},
      {"Statistics", false},
      {"statistics ", false},
      {nullptr, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name != nullptr ? row.name : "null");
    EXPECT_EQ(mirt::hasFeature(row.name), row.offered);
    EXPECT_EQ(mirt_varnel_has_feature(row.name), row.offered);
  }
}

// One layout in 32-bit and 64-bit builds alike.
TEST(Interface, MetaDataHasTheSameLayoutInEveryBuild) {
  EXPECT_EQ(sizeof(OstraMetaData), 96u);
  EXPECT_EQ(alignof(OstraMetaData), 8u);
  EXPECT_EQ(offsetof(OstraMetaData, statusWord), 0u);
  EXPECT_EQ(offsetof(OstraMetaData, headerValue), 8u);
  EXPECT_EQ(offsetof(OstraMetaData, word36), 16u);
  EXPECT_EQ(offsetof(OstraMetaData, dspVersion), 20u);
  EXPECT_EQ(offsetof(OstraMetaData, firmwareVersion), 24u);
  EXPECT_EQ(offsetof(OstraMetaData, biosVersion), 28u);
  EXPECT_EQ(offsetof(OstraMetaData, word52), 32u);
  EXPECT_EQ(offsetof(OstraMetaData, word56), 36u);
  EXPECT_EQ(offsetof(OstraMetaData, word60), 40u);
  EXPECT_EQ(offsetof(OstraMetaData, word64), 44u);
  EXPECT_EQ(offsetof(OstraMetaData, word68), 48u);
  EXPECT_EQ(offsetof(OstraMetaData, real72), 56u);
  EXPECT_EQ(offsetof(OstraMetaData, real80), 64u);
  EXPECT_EQ(offsetof(OstraMetaData, word88), 72u);
  EXPECT_EQ(offsetof(OstraMetaData, word92), 76u);
  EXPECT_EQ(offsetof(OstraMetaData, word96), 80u);
  EXPECT_EQ(offsetof(OstraMetaData, half100), 84u);
  EXPECT_EQ(offsetof(OstraMetaData, half102), 86u);
  EXPECT_EQ(offsetof(OstraMetaData, word104), 88u);
  EXPECT_EQ(offsetof(OstraMetaData, word108), 92u);
  EXPECT_TRUE(std::is_standard_layout_v<OstraMetaData>);
  EXPECT_TRUE(std::is_trivially_copyable_v<OstraMetaData>);
}

TEST(Interface, EnumerationsHaveTheirFixedValuesAndWidth) {
  using mirt::ConnectionState;
  using E = mirt::VarnelException;
  EXPECT_EQ(static_cast<int>(ConnectionState::Connected), 0);
  EXPECT_EQ(static_cast<int>(ConnectionState::Receiving), 1);
  EXPECT_EQ(static_cast<int>(ConnectionState::NotConnected), 2);
  EXPECT_EQ(static_cast<int>(ConnectionState::Error), 3);
  EXPECT_EQ(sizeof(ConnectionState), 4u);
  EXPECT_EQ(static_cast<int>(E::Unspecified), 0);
  EXPECT_EQ(static_cast<int>(E::ConnectionFailed), 1);
  EXPECT_EQ(static_cast<int>(E::CommunicationError), 2);
  EXPECT_EQ(static_cast<int>(E::GeneralError), 3);
  EXPECT_EQ(static_cast<int>(E::VersionMismatch), 4);
  EXPECT_EQ(sizeof(E::ErrorCode), 4u);
}

// The interface classes hold no data: just the vtable pointer.
TEST(Interface, ClassesAreAbstractAndHoldNoData) {
  EXPECT_TRUE(std::is_abstract_v<mirt::Varnel>);
  EXPECT_TRUE(std::is_abstract_v<mirt::OstraDataStream>);
  EXPECT_TRUE(std::is_abstract_v<mirt::OstraDataPackage>);
  EXPECT_TRUE(std::is_abstract_v<mirt::VarnelException>);
  EXPECT_EQ(sizeof(mirt::Varnel), sizeof(void*));
  EXPECT_EQ(sizeof(mirt::OstraDataStream), sizeof(void*));
  EXPECT_EQ(sizeof(mirt::OstraDataPackage), sizeof(void*));
  EXPECT_EQ(sizeof(mirt::VarnelException), sizeof(void*));
  EXPECT_TRUE(std::has_virtual_destructor_v<mirt::Varnel>);
  EXPECT_TRUE(std::has_virtual_destructor_v<mirt::OstraDataPackage>);
}

// An application may implement the interfaces itself (for example as a test
// double); the exported special members make that link.
class FakePackage : public mirt::OstraDataPackage {
 public:
  std::size_t getSize() const override { return 1; }
  std::size_t getChannelCount() const override { return 1; }
  const std::vector<std::uint32_t>& getWaveform(std::size_t) const override { return samples; }
  std::uint32_t getWaveformType(std::size_t) const override { return 7; }
  const OstraMetaData& getMetaData() const override { return meta; }
  std::vector<std::uint32_t> samples{42};
  OstraMetaData meta{};
};

TEST(Interface, ApplicationsCanImplementTheInterfaces) {
  FakePackage a;
  FakePackage b;
  b.samples = {1, 2};
  mirt::OstraDataPackage& base = a;
  base = b;  // the interface's assignment copies nothing of the derived part
  EXPECT_EQ(a.samples.size(), 1u);
  EXPECT_EQ(base.getWaveform(0).at(0), 42u);
  EXPECT_NE(dynamic_cast<FakePackage*>(&base), nullptr);
  // Operations added later have defaults, so the class above is complete.
  EXPECT_EQ(base.getReceiveTime().systemTimeNs, 0);
}

}  // namespace
