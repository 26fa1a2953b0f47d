// The pipe protocol between a crashed process and its helper: arbitrary
// bytes as what the other side sent, cut into frames at arbitrary places,
// every payload given to every decoder; what decodes must encode back to
// the same value.
#include <cstddef>
#include <cstdint>
#include <string>

#include "crash/helper/CDHelperProtocol.h"

namespace {
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool SameFields(const std::vector<TCDField>& a, const std::vector<TCDField>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].Name != b[i].Name || a[i].Content != b[i].Content) return false;
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses how the stream arrives: in pieces of that size.
  const std::size_t chunk = data[0] == 0 ? 1 : data[0];
  ++data;
  --size;
  TCDFrameReader reader;
  TCDRawFrame frame;
  for (std::size_t at = 0; at < size; at += chunk) {
    reader.Append(data + at, std::min(chunk, size - at));
    while (reader.Next(frame)) {
      (void)DecodeHello(frame.Payload);
      (void)DecodeAction(frame.Payload);
      (void)DecodeActionResult(frame.Payload);
      (void)DecodeAnswer(frame.Payload);
      if (std::optional<TCDHelperException> e = DecodeException(frame.Payload)) {
        const std::string again = EncodeExceptionFrame(*e);
        std::optional<TCDHelperException> back = DecodeException(again.substr(CDHelperFrameHeader));
        Check(back && back->ClassName == e->ClassName && back->Message == e->Message &&
              back->Settings.size() == e->Settings.size() && again.substr(CDHelperFrameHeader) == frame.Payload);
      }
      if (std::optional<TCDHelperReport> r = DecodeReport(frame.Payload)) {
        const std::string again = EncodeReportFrame(r->Header, r->Sections, r->Complete);
        std::optional<TCDHelperReport> back = DecodeReport(again.substr(CDHelperFrameHeader));
        Check(back && SameFields(back->Header, r->Header) && SameFields(back->Sections, r->Sections));
      }
    }
    if (!reader.Error().empty()) break;
  }
  return 0;
}
