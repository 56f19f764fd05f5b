// errors_test.cpp: the texts the three exception classes carry, and how they are caught.
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
  EXPECT_STREQ(SystemError("read fail!!", 9).what(), "read fail!! - 9");
  EXPECT_STREQ(SystemError("inotify_init fail!!", 0).what(), "inotify_init fail!! - 0");
  EXPECT_STREQ(SystemError("x", -5).what(), "x - -5");
  EXPECT_STREQ(SystemError("x", INT_MIN).what(), "x - -2147483648");
  EXPECT_STREQ(SystemError("x", INT_MAX).what(), "x - 2147483647");
  EXPECT_STREQ(SystemError("", 1).what(), " - 1");
  EXPECT_EQ(SystemError("read fail!!", 9).code, 9);
}

// The text must be owned by the exception: a pointer taken once stays valid and unchanged.
TEST(SystemErrorTest, WhatReturnsTheSameTextOnEveryCall) {
  const SystemError error("read fail!!", 9);
  const char* first = error.what();
  const std::string before = first;
  const char* second = error.what();
  EXPECT_EQ(first, second);
  EXPECT_EQ(std::string(first), before);
  EXPECT_EQ(before, "read fail!! - 9");
}

TEST(SystemErrorTest, CopyKeepsTheTextAfterTheOriginalIsGone) {
  std::optional<SystemError> original(std::in_place, "inotify_add_watch fail!!", 28);
  const SystemError copy = *original;
  EXPECT_STREQ(copy.what(), original->what());
  original.reset();
  EXPECT_STREQ(copy.what(), "inotify_add_watch fail!! - 28");
  EXPECT_EQ(copy.code, 28);

  try {
    throw SystemError("read fail!!", 9);
  } catch (const SystemError& caught) {
    const SystemError rethrown = caught;
    EXPECT_STREQ(rethrown.what(), "read fail!! - 9");
  }
}

TEST(ErrorTextTest, NotFoundAndExecErrorsGiveTheirMessageUnchanged) {
  EXPECT_STREQ(NotFoundError("watch descrepter not found!!").what(),
               "watch descrepter not found!!");
  EXPECT_STREQ(ExecError("execv() fail").what(), "execv() fail");
}

// The daemon's catch-all treats the three alike; a handler for the standard base must see the
// composed text of SystemError through the base, too.
TEST(ErrorTextTest, AllThreeAreCaughtAsRuntimeError) {
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

  int caughtByCatchAll = 0;
  for (int kind = 0; kind < 3; ++kind) {
    try {
      if (kind == 0)
        throw SystemError("a", 1);
      if (kind == 1)
        throw NotFoundError("b");
      throw ExecError("c");
    } catch (...) {
      ++caughtByCatchAll;
    }
  }
  EXPECT_EQ(caughtByCatchAll, 3);
}

}  // namespace
}  // namespace vellumd
