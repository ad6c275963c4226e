#pragma once

#include <stdexcept>
#include <string>

#include "varnel/varnel.hpp"

// The exception the library throws: a mirt::VarnelException that is also a
// std::runtime_error. The text is exactly the one given; nothing is added.
// The cause is None unless the exception reports a recorded failure.
class VarnelExceptionImpl : public mirt::VarnelException, public std::runtime_error {
 public:
  using ErrorCode = mirt::VarnelException::ErrorCode;

  VarnelExceptionImpl(const std::string& message, ErrorCode code,
                      mirt::FailureCause cause = mirt::FailureCause::None);
  VarnelExceptionImpl(const char* message, ErrorCode code,
                      mirt::FailureCause cause = mirt::FailureCause::None);
  VarnelExceptionImpl(const VarnelExceptionImpl& other);
  ~VarnelExceptionImpl() override;

  // Serves both mirt::VarnelException::what and std::exception::what.
  const char* what() const noexcept override;
  ErrorCode getErrorCode() const noexcept override;
  mirt::FailureCause getFailureCause() const noexcept override;

 private:
  ErrorCode code;
  mirt::FailureCause cause;
};

// Marks a failure whose message is already complete, prefix included: a
// handler that catches it records message and code as they are.
class VarnelMinorException : public VarnelExceptionImpl {
 public:
  VarnelMinorException(const std::string& message, ErrorCode code,
                       mirt::FailureCause cause = mirt::FailureCause::None);
  VarnelMinorException(const VarnelMinorException& other);
};
