// errors_test.cpp: the texts the three exception classes carry, and how long they stay valid.
#include "errors/errors.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <stdexcept>
#include <string>

namespace vellumd {
namespace {

TEST(SystemErrorTest, WhatJoinsMessageAndCodeAsSignedDecimal) {
  EXPECT_STREQ(SystemError("inotify_add_watch fail!!", 28).what(), "inotify_add_watch fail!! - 28");
  EXPECT_STREQ(SystemError("inotify_init fail!!", 0).what(), "inotify_init fail!! - 0");
  EXPECT_STREQ(SystemError("x", -5).what(), "x - -5");
  EXPECT_STREQ(SystemError("x", INT_MIN).what(), "x - -2147483648");
  EXPECT_EQ(SystemError("read fail!!", 9).code, 9);
}

// The text belongs to the exception: a pointer taken once stays valid and unchanged, a copy keeps
// its own after the original is gone, and a handler for the standard base sees the composed text.
TEST(ErrorTextTest, EachExceptionOwnsItsTextAndShowsItThroughTheStandardBase) {
  std::optional<SystemError> original(std::in_place, "read fail!!", 9);
  const char* first = original->what();
  EXPECT_EQ(original->what(), first);
  const SystemError copy = *original;
  original.reset();
  EXPECT_STREQ(copy.what(), "read fail!! - 9");
  EXPECT_EQ(copy.code, 9);

  auto caughtText = [](auto&& raise) -> std::string {
    try {
      raise();
    } catch (const std::runtime_error& error) {
      return error.what();
    } catch (...) {
      return "not a runtime_error";
    }
    return "nothing thrown";
  };
  EXPECT_EQ(caughtText([] { throw SystemError("read fail!!", 9); }), "read fail!! - 9");
  EXPECT_EQ(caughtText([] { throw NotFoundError("watch descrepter not found!!"); }),
            "watch descrepter not found!!");
  EXPECT_EQ(caughtText([] { throw ExecError("fork() fail"); }), "fork() fail");
}

}  // namespace
}  // namespace vellumd
