#include "service/http/RequestLog.h"

#include <ctime>

#include "runtime/SysUtils.h"
#include "service/model/ServiceTime.h"

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
  // Made once a second per thread: a busy front logs many lines in one.
  thread_local std::time_t last = -1;
  thread_local char text[32];
  const std::time_t now = ServiceClockNow() / 1000;
  if (now != last) {
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &tm);
    last = now;
  }
  return text;
}
