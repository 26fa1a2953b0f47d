// The bug-report file reader: an arbitrary existing file gets a report saved
// into it. Whatever the file holds, the merge must not fail, and nothing may
// leave the file but one whole earlier report (the duplicate) and whole
// reports at the front that the size limit drops.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crash/delivery/CDBugRepFile.h"

namespace {

const std::string kReport =
    "date/time         : 2024-05-06, 07:08:09, 10ms\r\n"
    "executable        : Pinmark\r\n"
    "version           : 1.0.0.2\r\n"
    "callstack crc     : $11111111, $22222222, $33333333\r\n"
    "exception class   : EIdSocketError\r\n"
    "exception message : Connection refused.\r\n"
    "\r\n"
    "main thread ($1):\r\n"
    "0000000000401000 Pinmark frmPinmark 12 TFormMain::btnClick";

void Check(bool condition) {
  if (!condition) std::abort();
}

bool AtReportStart(std::string_view text, std::size_t at) {
  return text.substr(at).starts_with("date/time") &&
         (at == 0 || (at >= 2 && text.substr(at - 2, 2) == "\r\n") || text.find("date/time") == at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TCDSaveRules rules;
  rules.Append = (data[0] & 1) == 0;
  static const int64_t kLimits[] = {0, 1, 100, 1000, 4000};
  rules.SizeLimit = kLimits[(data[0] >> 1) % 5];
  static const std::size_t kKeys[] = {0, 9, 20, 31};
  std::size_t keyLength = kKeys[(data[1]) % 4];
  rules.DuplicateKey = BugReportValue(kReport, "callstack crc").substr(0, keyLength);
  const std::string_view file(reinterpret_cast<const char*>(data + 2), size - 2);

  TCDMergeResult r = MergeBugReport(file, kReport, rules);
  if (!rules.Append) {
    Check(r.Text == kReport + "\r\n\r\n");
    return 0;
  }
  Check(r.Text.ends_with("\r\n\r\n"));

  // What remains of the old file after the duplicate left it.
  std::string kept(file);
  if (r.DuplicateStart != std::string::npos) {
    Check(!rules.DuplicateKey.empty() && r.DuplicateStart < r.DuplicateEnd && r.DuplicateEnd <= file.size());
    Check(AtReportStart(file, r.DuplicateStart));
    Check(r.DuplicateEnd == file.size() || AtReportStart(file, r.DuplicateEnd));
    Check(r.Count >= 2);
    kept.erase(r.DuplicateStart, r.DuplicateEnd - r.DuplicateStart);
  } else {
    Check(r.Count == 0);
  }
  if (r.CutBytes > 0) {
    Check(rules.SizeLimit > 0 && kept.size() > static_cast<uint64_t>(rules.SizeLimit));
    Check(r.CutBytes >= 2 && std::string_view(kept).substr(r.CutBytes - 2).starts_with("\r\ndate/time"));
    Check(kept.size() - r.CutBytes < static_cast<uint64_t>(rules.SizeLimit - rules.SizeLimit / 4));
  }
  std::string_view rest = std::string_view(kept).substr(r.CutBytes);
  Check(std::string_view(r.Text).starts_with(rest));
  std::string_view added = std::string_view(r.Text).substr(rest.size());
  if (!rest.empty() && !rest.ends_with("\r\n")) {
    Check(added.starts_with("\r\n"));
    added.remove_prefix(2);
  }
  Check(added.starts_with("date/time"));
  Check((r.Count == 0) == (added.size() == kReport.size() + 4));
  // The new report can be found again as a report of the file.
  Check(BugReportValue(added, "callstack crc") == "$11111111, $22222222, $33333333");
  return 0;
}
