#include "core/error.h"

#include <cstring>

namespace quor {

const char* error_kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kInvalidCron: return "InvalidCron";
    case ErrorKind::kInvalidTimezone: return "InvalidTimezone";
    case ErrorKind::kTimerNotFound: return "TimerNotFound";
    case ErrorKind::kLogIo: return "LogIo";
    case ErrorKind::kLogSerialization: return "LogSerialization";
    case ErrorKind::kCorruptLogLine: return "CorruptLogLine";
    case ErrorKind::kAlreadyStarted: return "AlreadyStarted";
    case ErrorKind::kAlreadyShutDown: return "AlreadyShutDown";
    case ErrorKind::kShutdownTimedOut: return "ShutdownTimedOut";
    case ErrorKind::kDataDirLocked: return "DataDirLocked";
    case ErrorKind::kInvalidSnapshot: return "InvalidSnapshot";
    case ErrorKind::kIpcUnavailable: return "IpcUnavailable";
  }
  return "?";
}

EngineError EngineError::invalid_cron(std::string detail) {
  return {ErrorKind::kInvalidCron, "invalid cron expression: " + detail, detail};
}
EngineError EngineError::invalid_timezone(std::string name) {
  return {ErrorKind::kInvalidTimezone, "invalid timezone: " + name, name};
}
EngineError EngineError::timer_not_found(std::string id) {
  return {ErrorKind::kTimerNotFound, "timer not found: " + id, id};
}
EngineError EngineError::log_io(std::string os_text) {
  return {ErrorKind::kLogIo, "log I/O error: " + os_text, os_text};
}
EngineError EngineError::log_serialization(std::string detail) {
  return {ErrorKind::kLogSerialization, "log serialization error: " + detail, detail};
}
EngineError EngineError::corrupt_log_line(uint64_t line, std::string path, std::string detail) {
  std::string msg = "corrupt log line " + std::to_string(line) + " in " + path + ": " + detail;
  return {ErrorKind::kCorruptLogLine, std::move(msg), detail};
}
EngineError EngineError::already_started() {
  return {ErrorKind::kAlreadyStarted, "engine already started", ""};
}
EngineError EngineError::already_shut_down() {
  return {ErrorKind::kAlreadyShutDown, "engine has already been shut down", ""};
}
EngineError EngineError::shutdown_timed_out(uint64_t timeout_ms) {
  std::string ms = std::to_string(timeout_ms);
  return {ErrorKind::kShutdownTimedOut, "shutdown timed out after " + ms + "ms", ms};
}
EngineError EngineError::data_dir_locked(std::string lock_path) {
  return {ErrorKind::kDataDirLocked, "data directory is already locked: " + lock_path, lock_path};
}
EngineError EngineError::invalid_snapshot(std::string detail) {
  return {ErrorKind::kInvalidSnapshot, "invalid snapshot: " + detail, detail};
}
EngineError EngineError::ipc_unavailable(std::string detail) {
  return {ErrorKind::kIpcUnavailable, "IPC unavailable: " + detail, detail};
}

std::string os_error_text(int err) {
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof buf);  // GNU variant
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

EngineError EngineError::from_errno(int err) { return log_io(os_error_text(err)); }

}  // namespace quor
