// Status and Result: kinds, messages, context and the error-number mapping.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "platform/status.h"

TEST(StatusTest, SuccessHasNoKindAndNoMessage) {
  Status ok;
  EXPECT_TRUE(ok.ok());
  EXPECT_TRUE(static_cast<bool>(ok));
  EXPECT_EQ(ok.kind(), StatusKind::kOk);
  EXPECT_EQ(ok.message(), "");
  EXPECT_EQ(ok.ToString(), "ok");
  EXPECT_EQ(Status::Ok().kind(), StatusKind::kOk);
}

TEST(StatusTest, EachNamedConstructorGivesItsKindAndKeepsTheMessage) {
  struct Case {
    Status status;
    StatusKind kind;
    bool (Status::*is)() const;
    const char* text;
  };
  const Case cases[] = {
      {Status::InvalidArgument("a"), StatusKind::kInvalidArgument, &Status::IsInvalidArgument,
       "invalid argument: a"},
      {Status::NotFound("b"), StatusKind::kNotFound, &Status::IsNotFound, "not found: b"},
      {Status::Corruption("c"), StatusKind::kCorruption, &Status::IsCorruption, "corruption: c"},
      {Status::IOError("d"), StatusKind::kIOError, &Status::IsIOError, "I/O error: d"},
      {Status::Busy("e"), StatusKind::kBusy, &Status::IsBusy, "busy: e"},
      {Status::ReadOnly("f"), StatusKind::kReadOnly, &Status::IsReadOnly, "read-only: f"},
      {Status::Usage("g"), StatusKind::kUsage, &Status::IsUsage, "usage: g"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(c.status.ok());
    EXPECT_FALSE(static_cast<bool>(c.status));
    EXPECT_EQ(c.status.kind(), c.kind);
    EXPECT_TRUE((c.status.*c.is)());
    EXPECT_EQ(c.status.ToString(), c.text);
    EXPECT_EQ(c.status.message(), std::string(c.text).substr(std::string(c.text).rfind(' ') + 1));
    // Exactly one predicate holds.
    int holding = 0;
    for (const Case& other : cases) holding += (c.status.*other.is)() ? 1 : 0;
    EXPECT_EQ(holding, 1);
  }
}

TEST(StatusTest, ContextGoesBeforeTheMessageAndTheKindStays) {
  Status missing = Status::NotFound("no such file");
  Status opened = missing.prefixed("cannot open image x: ");
  EXPECT_EQ(opened.kind(), StatusKind::kNotFound);
  EXPECT_EQ(opened.message(), "cannot open image x: no such file");
  EXPECT_EQ(missing.message(), "no such file");  // the original is left alone
  EXPECT_TRUE(Status::Ok().prefixed("context: ").ok());
  EXPECT_EQ(Status::Ok().prefixed("context: ").message(), "");
}

TEST(StatusTest, AReportedFailureKeepsItsKindWithoutTheMessage) {
  Status reported = Status::Corruption("3 problems").reported();
  EXPECT_FALSE(reported.ok());
  EXPECT_EQ(reported.kind(), StatusKind::kCorruption);
  EXPECT_EQ(reported.message(), "");
  EXPECT_EQ(reported.ToString(), "corruption");
  EXPECT_TRUE(Status::Ok().reported().ok());
}

TEST(StatusTest, ErrorNumbersMapToKinds) {
  EXPECT_EQ(Status::KindOfErrno(ENOENT), StatusKind::kNotFound);
  EXPECT_EQ(Status::KindOfErrno(ENODEV), StatusKind::kNotFound);
  EXPECT_EQ(Status::KindOfErrno(EINVAL), StatusKind::kInvalidArgument);
  EXPECT_EQ(Status::KindOfErrno(ERANGE), StatusKind::kInvalidArgument);
  EXPECT_EQ(Status::KindOfErrno(E2BIG), StatusKind::kInvalidArgument);
  EXPECT_EQ(Status::KindOfErrno(EFBIG), StatusKind::kInvalidArgument);
  EXPECT_EQ(Status::KindOfErrno(EBADMSG), StatusKind::kCorruption);
  EXPECT_EQ(Status::KindOfErrno(EUCLEAN), StatusKind::kCorruption);
  EXPECT_EQ(Status::KindOfErrno(EBUSY), StatusKind::kBusy);
  EXPECT_EQ(Status::KindOfErrno(EEXIST), StatusKind::kBusy);
  EXPECT_EQ(Status::KindOfErrno(EROFS), StatusKind::kReadOnly);
  EXPECT_EQ(Status::KindOfErrno(EIO), StatusKind::kIOError);
  EXPECT_EQ(Status::KindOfErrno(ENOMEM), StatusKind::kIOError);
  EXPECT_EQ(Status::KindOfErrno(EACCES), StatusKind::kIOError);
  Status from = Status::FromErrno(EROFS, "writing failed");
  EXPECT_TRUE(from.IsReadOnly());
  EXPECT_EQ(from.message(), "writing failed");
}

TEST(ResultTest, HoldsAValueOrAFailure) {
  Result<std::unique_ptr<int>> value(std::make_unique<int>(7));
  ASSERT_TRUE(value.ok());
  EXPECT_TRUE(value.status().ok());
  EXPECT_EQ(value.message(), "");
  EXPECT_EQ(*value.value(), 7);
  std::unique_ptr<int> taken = std::move(value).value();
  EXPECT_EQ(*taken, 7);

  Result<int> failure(Status::Busy("in use"));
  EXPECT_FALSE(failure.ok());
  EXPECT_FALSE(static_cast<bool>(failure));
  EXPECT_TRUE(failure.status().IsBusy());
  EXPECT_EQ(failure.message(), "in use");

  // A failure passes from one Result to another unchanged.
  auto pass_on = [](const Result<int>& r) -> Result<std::string> {
    if (!r.ok()) return r.status();
    return std::to_string(r.value());
  };
  Result<std::string> passed = pass_on(failure);
  EXPECT_TRUE(passed.status().IsBusy());
  EXPECT_EQ(passed.message(), "in use");
  EXPECT_EQ(pass_on(Result<int>(12)).value(), "12");
}

TEST(ResultDeathTest, ASuccessWithoutAValueStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(Result<int>{Status::Ok()}, "Result built from a successful Status");
}
