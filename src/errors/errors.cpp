// errors.cpp: the exception classes of the running daemon.
#include "errors/errors.h"

namespace vellumd {

SystemError::SystemError(const std::string& message, int code)
    : std::runtime_error(message), code(code), text_(message + " - " + std::to_string(code)) {}

SystemError::~SystemError() = default;

const char* SystemError::what() const noexcept {
  return text_.c_str();
}

NotFoundError::NotFoundError(const std::string& message) : std::runtime_error(message) {}

NotFoundError::~NotFoundError() = default;

ExecError::ExecError(const std::string& message) : std::runtime_error(message) {}

ExecError::~ExecError() = default;

}  // namespace vellumd
