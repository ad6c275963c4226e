#pragma once

#include <stdexcept>
#include <string>

#include "varnel/varnel.hpp"

// The exception the library throws: a mirt::VarnelException that is also a
// std::runtime_error. The text is exactly the one given; nothing is added.
class VarnelExceptionImpl : public mirt::VarnelException, public std::runtime_error {
 public:
  using ErrorCode = mirt::VarnelException::ErrorCode;

  VarnelExceptionImpl(const std::string& message, ErrorCode code);
  VarnelExceptionImpl(const char* message, ErrorCode code);
  VarnelExceptionImpl(const VarnelExceptionImpl& other);
  ~VarnelExceptionImpl() override;

  // Serves both mirt::VarnelException::what and std::exception::what.
  const char* what() const noexcept override;
  ErrorCode getErrorCode() const noexcept override;

 private:
  ErrorCode code;
};

// Marks a failure whose message is already complete, prefix included: a
// handler that catches it records message and code as they are.
class VarnelMinorException : public VarnelExceptionImpl {
 public:
  VarnelMinorException(const std::string& message, ErrorCode code);
  VarnelMinorException(const VarnelMinorException& other);
};
