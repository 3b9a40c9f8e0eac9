// EngineError: the single error type of every engine operation. Each kind
// has a fixed message template; message() is the filled template, which is
// what Python callers and control clients see.
#pragma once

#include <cstdint>
#include <string>

namespace quor {

// In declaration order; the order is part of the contract.
enum class ErrorKind : uint8_t {
  kInvalidCron,
  kInvalidTimezone,
  kTimerNotFound,
  kLogIo,
  kLogSerialization,
  kCorruptLogLine,
  kAlreadyStarted,
  kAlreadyShutDown,
  kShutdownTimedOut,
  kDataDirLocked,
  kInvalidSnapshot,
  kIpcUnavailable,
};

// Name of the kind as written in code ("InvalidCron", ...).
const char* error_kind_name(ErrorKind kind);

class EngineError {
 public:
  EngineError() = default;

  static EngineError invalid_cron(std::string detail);
  static EngineError invalid_timezone(std::string name);
  static EngineError timer_not_found(std::string id);
  static EngineError log_io(std::string os_text);
  static EngineError log_serialization(std::string detail);
  static EngineError corrupt_log_line(uint64_t line, std::string path, std::string detail);
  static EngineError already_started();
  static EngineError already_shut_down();
  static EngineError shutdown_timed_out(uint64_t timeout_ms);
  static EngineError data_dir_locked(std::string lock_path);
  static EngineError invalid_snapshot(std::string detail);
  static EngineError ipc_unavailable(std::string detail);

  // LogIo from an errno value, with the operating system's text.
  static EngineError from_errno(int err);

  ErrorKind kind() const { return kind_; }
  // The filled template, e.g. "invalid timezone: Mars/Base".
  const std::string& message() const { return message_; }
  // The last placeholder's value (the lock path of DataDirLocked, the zone
  // name of InvalidTimezone, ...); empty for kinds without placeholders.
  const std::string& detail() const { return detail_; }

  bool operator==(const EngineError&) const = default;

 private:
  EngineError(ErrorKind kind, std::string message, std::string detail)
      : kind_(kind), message_(std::move(message)), detail_(std::move(detail)) {}

  ErrorKind kind_ = ErrorKind::kLogIo;
  std::string message_;
  std::string detail_;
};

// The operating system's text for an errno value, with its code, as in
// "No such file or directory (os error 2)".
std::string os_error_text(int err);

}  // namespace quor
