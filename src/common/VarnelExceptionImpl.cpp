#include "common/VarnelExceptionImpl.hpp"

VarnelExceptionImpl::VarnelExceptionImpl(const std::string& message, ErrorCode code)
    : std::runtime_error(message), code(code) {}

VarnelExceptionImpl::VarnelExceptionImpl(const char* message, ErrorCode code)
    : std::runtime_error(message), code(code) {}

VarnelExceptionImpl::VarnelExceptionImpl(const VarnelExceptionImpl& other) = default;

VarnelExceptionImpl::~VarnelExceptionImpl() = default;

const char* VarnelExceptionImpl::what() const noexcept { return std::runtime_error::what(); }

VarnelExceptionImpl::ErrorCode VarnelExceptionImpl::getErrorCode() const noexcept { return code; }

VarnelMinorException::VarnelMinorException(const std::string& message, ErrorCode code)
    : VarnelExceptionImpl(message, code) {}

VarnelMinorException::VarnelMinorException(const VarnelMinorException& other) = default;
