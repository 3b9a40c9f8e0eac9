#include "core/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "core/result.h"

namespace quor {
namespace {

TEST(EngineError, KindsMessagesAndDetails) {
  const struct {
    EngineError error;
    ErrorKind kind;
    const char* kind_name;
    const char* message;
    const char* detail;
  } cases[] = {
      {EngineError::invalid_cron("bad field"), ErrorKind::kInvalidCron, "InvalidCron",
       "invalid cron expression: bad field", "bad field"},
      {EngineError::invalid_timezone("Mars/Base"), ErrorKind::kInvalidTimezone,
       "InvalidTimezone", "invalid timezone: Mars/Base", "Mars/Base"},
      {EngineError::timer_not_found("t1"), ErrorKind::kTimerNotFound, "TimerNotFound",
       "timer not found: t1", "t1"},
      {EngineError::log_io("disk full"), ErrorKind::kLogIo, "LogIo", "log I/O error: disk full",
       "disk full"},
      {EngineError::log_serialization("x"), ErrorKind::kLogSerialization, "LogSerialization",
       "log serialization error: x", "x"},
      {EngineError::corrupt_log_line(7, "/d/quor.aof", "EOF while parsing a string"),
       ErrorKind::kCorruptLogLine, "CorruptLogLine",
       "corrupt log line 7 in /d/quor.aof: EOF while parsing a string",
       "EOF while parsing a string"},
      {EngineError::already_started(), ErrorKind::kAlreadyStarted, "AlreadyStarted",
       "engine already started", ""},
      {EngineError::already_shut_down(), ErrorKind::kAlreadyShutDown, "AlreadyShutDown",
       "engine has already been shut down", ""},
      {EngineError::shutdown_timed_out(1500), ErrorKind::kShutdownTimedOut, "ShutdownTimedOut",
       "shutdown timed out after 1500ms", "1500"},
      {EngineError::data_dir_locked("/d/quor.lock"), ErrorKind::kDataDirLocked, "DataDirLocked",
       "data directory is already locked: /d/quor.lock", "/d/quor.lock"},
      {EngineError::invalid_snapshot("bad"), ErrorKind::kInvalidSnapshot, "InvalidSnapshot",
       "invalid snapshot: bad", "bad"},
      {EngineError::ipc_unavailable("no port"), ErrorKind::kIpcUnavailable, "IpcUnavailable",
       "IPC unavailable: no port", "no port"},
  };
  ASSERT_EQ(std::size(cases), 12u);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(static_cast<size_t>(c.kind), i) << c.kind_name;  // declaration order
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_STREQ(error_kind_name(c.kind), c.kind_name);
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(c.error.detail(), c.detail);
  }
}

TEST(EngineError, FromErrnoCarriesTheSystemText) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  const EngineError e = EngineError::from_errno(ENOSPC);
  EXPECT_EQ(e.kind(), ErrorKind::kLogIo);
  EXPECT_EQ(e.message(), "log I/O error: No space left on device (os error 28)");
}

Result<int> half(int v) {
  if (v % 2) return EngineError::invalid_cron("odd");
  return v / 2;
}

Status chain(int v, int* out) {
  auto r = half(v);
  if (!r.ok()) return std::move(r).error();
  QUOR_TRY(half(*r));
  *out = *r;
  return ok_status();
}

TEST(ResultTest, ValuesErrorsAndPropagation) {
  auto ok = half(8);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, 4);
  auto bad = half(3);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "invalid cron expression: odd");

  int out = 0;
  EXPECT_TRUE(chain(8, &out).ok());
  EXPECT_EQ(out, 4);
  const Status s = chain(6, &out);  // 6 -> 3, and 3 is odd
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), ErrorKind::kInvalidCron);
}

}  // namespace
}  // namespace quor
