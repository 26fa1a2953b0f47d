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
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}
