#include "service/http/RequestLog.h"

#include <ctime>

#include "runtime/SysUtils.h"

void TRequestLog::Write(TLogPriority priority, const std::string& text) const {
  if (sink_) sink_(priority, Timestamp() + " " + text);
}

std::string TRequestLog::Value(const std::string& value) {
  return PercentEncode(value, [](unsigned char c) { return c > ' ' && c < 0x7F && c != '%'; });
}

std::string TRequestLog::Timestamp() {
  // Made once a second per thread: a busy front logs many lines in one.
  thread_local std::time_t last = -1;
  thread_local char text[32];
  const std::time_t now = std::time(nullptr);
  if (now != last) {
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    last = now;
  }
  return text;
}
