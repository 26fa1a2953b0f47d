// Another program's connection to the service's database file, as the
// sqlite3 command would make it: to hold a lock, damage a field or look at
// what the service wrote.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

class OtherConnection {
 public:
  explicit OtherConnection(const std::string& file) { sqlite3_open(file.c_str(), &db_); }
  ~OtherConnection() { sqlite3_close(db_); }
  OtherConnection(const OtherConnection&) = delete;
  OtherConnection& operator=(const OtherConnection&) = delete;

  int Exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }
  // The first column of the first row as text ("" for none or NULL).
  std::string Text(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr);
    std::string text;
    if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0))
      text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    return text;
  }
  std::int64_t Int(const std::string& sql) {
    const std::string text = Text(sql);
    return text.empty() ? -1 : std::stoll(text);
  }

 private:
  sqlite3* db_ = nullptr;
};
