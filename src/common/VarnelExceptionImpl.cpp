#include "common/VarnelExceptionImpl.hpp"

VarnelExceptionImpl::VarnelExceptionImpl(const std::string& message, ErrorCode code, mirt::FailureCause cause)
    : std::runtime_error(message), code(code), cause(cause) {}

VarnelExceptionImpl::VarnelExceptionImpl(const char* message, ErrorCode code, mirt::FailureCause cause)
    : std::runtime_error(message), code(code), cause(cause) {}

VarnelExceptionImpl::VarnelExceptionImpl(const VarnelExceptionImpl& other) = default;

VarnelExceptionImpl::~VarnelExceptionImpl() = default;

const char* VarnelExceptionImpl::what() const noexcept { return std::runtime_error::what(); }

VarnelExceptionImpl::ErrorCode VarnelExceptionImpl::getErrorCode() const noexcept { return code; }

mirt::FailureCause VarnelExceptionImpl::getFailureCause() const noexcept { return cause; }

VarnelMinorException::VarnelMinorException(const std::string& message, ErrorCode code,
                                           mirt::FailureCause cause)
    : VarnelExceptionImpl(message, code, cause) {}

VarnelMinorException::VarnelMinorException(const VarnelMinorException& other) = default;
