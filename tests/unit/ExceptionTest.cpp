#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "common/VarnelExceptionImpl.hpp"

using mirt::VarnelException;

namespace {

template <typename Catch, typename Thrown>
std::string caughtText(const Thrown& thrown) {
  try {
    throw thrown;
  } catch (const Catch& e) {
    return e.what();
  }
  return "not caught";
}

TEST(VarnelExceptionImpl, IsCatchableAsEveryBaseWithTheSameText) {
  const VarnelExceptionImpl ex("board said no", VarnelException::CommunicationError);
  EXPECT_EQ(caughtText<VarnelExceptionImpl>(ex), "board said no");
  EXPECT_EQ(caughtText<VarnelException>(ex), "board said no");
  EXPECT_EQ(caughtText<std::runtime_error>(ex), "board said no");
  EXPECT_EQ(caughtText<std::exception>(ex), "board said no");
}

TEST(VarnelExceptionImpl, KeepsEveryCodeExactlyIncludingZero) {
  for (auto code :
       {VarnelException::Unspecified, VarnelException::ConnectionFailed, VarnelException::CommunicationError,
        VarnelException::GeneralError, VarnelException::VersionMismatch}) {
    try {
      throw VarnelExceptionImpl(std::string("x"), code);
    } catch (const VarnelException& e) {
      EXPECT_EQ(e.getErrorCode(), code);
    }
  }
}

TEST(VarnelExceptionImpl, AddsNothingToTheTextAndCopiesIt) {
  std::string text = "readHeader: Empty Package";
  VarnelExceptionImpl ex(text, VarnelException::CommunicationError);
  text.assign("changed");
  EXPECT_STREQ(ex.what(), "readHeader: Empty Package");
  const VarnelExceptionImpl copy(ex);
  EXPECT_STREQ(copy.what(), ex.what());
  EXPECT_EQ(copy.getErrorCode(), VarnelException::CommunicationError);
  const VarnelExceptionImpl empty("", VarnelException::GeneralError);
  ASSERT_NE(empty.what(), nullptr);
  EXPECT_STREQ(empty.what(), "");
}

TEST(VarnelMinorException, BehavesLikeTheImplAndIsDistinguishable) {
  bool caughtAsMinor = false;
  try {
    throw VarnelMinorException("start: Connection refused", VarnelException::CommunicationError);
  } catch (const VarnelMinorException& e) {
    caughtAsMinor = true;
    const VarnelException& base = e;
    EXPECT_STREQ(base.what(), "start: Connection refused");
    EXPECT_EQ(base.getErrorCode(), VarnelException::CommunicationError);
  }
  EXPECT_TRUE(caughtAsMinor);

  // A handler that tells the two apart: the plain impl is not a minor one.
  bool minor = true;
  try {
    throw VarnelExceptionImpl("x", VarnelException::GeneralError);
  } catch (const VarnelMinorException&) {
    minor = true;
  } catch (const VarnelException&) {
    minor = false;
  }
  EXPECT_FALSE(minor);
}

TEST(VarnelExceptionImpl, WhatIsTheSameThroughBothBases) {
  const VarnelExceptionImpl ex("same text", VarnelException::VersionMismatch);
  const VarnelException& asVarnel = ex;
  const std::exception& asStd = ex;
  EXPECT_EQ(asVarnel.what(), asStd.what());
}

}  // namespace
