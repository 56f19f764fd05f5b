// errors.h: the three exceptions a running daemon throws. Each carries a short fixed message;
// the loop's single catch-all reports them all alike, so no path or descriptor travels with them.
#pragma once

#include <stdexcept>
#include <string>

namespace vellumd {

// A failed system call of the registry or of event reading, with the errno it left.
// The text of what() is composed once, at construction, and owned by the object, so every
// call returns the same pointer for as long as the exception lives.
class SystemError : public std::runtime_error {
 public:
  SystemError(const std::string& message, int code);
  ~SystemError() override;

  // The message, " - ", and the code as a signed decimal: "read fail!! - 9".
  const char* what() const noexcept override;

  int code;

 private:
  std::string text_;  // message + " - " + code, fixed at construction
};

// A watch descriptor that the registry does not hold.
class NotFoundError : public std::runtime_error {
 public:
  explicit NotFoundError(const std::string& message);
  ~NotFoundError() override;
};

// A failure while starting a program (pipes, fork, redirection, exec) or waiting for it.
class ExecError : public std::runtime_error {
 public:
  explicit ExecError(const std::string& message);
  ~ExecError() override;
};

}  // namespace vellumd
