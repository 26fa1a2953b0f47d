#include "service/http/RequestLog.h"

#include <ctime>

#include "runtime/SysUtils.h"

void TRequestLog::Write(TLogPriority priority, const std::string& text) const {
  if (!sink_) return;
  const char* level = priority == TLogPriority::Error ? "error" : priority == TLogPriority::Warning ? "warning" : "info";
  const bool fields = text.rfind("event=", 0) == 0;
  sink_(priority, "time=" + Timestamp() + " level=" + level + (fields ? " " + text : " event=note" + Field("text", text)));
}

std::string TRequestLog::Field(const char* key, const std::string& value) {
  return std::string(" ") + key + "=" + Value(value);
}

std::string TRequestLog::Value(const std::string& value) {
  return PercentEncode(value, [](unsigned char c) { return c > ' ' && c < 0x7F && c != '%'; });
}

std::string TRequestLog::Timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &tm);
  return buf;
}
