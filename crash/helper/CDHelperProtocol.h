// The pipe protocol between a crashed process and its helper process (the
// program started again to show the box of a process that may not run
// windows any more).
//
// Frames: a 4-byte kind, a 4-byte payload length (both little-endian), the
// payload. Integers in payloads are little-endian; a text is a 4-byte
// length and its bytes. The crashed process sends Hello, Exception and then
// Report frames (the whole header and section lists each time something
// changed, the last one marked complete); the helper sends Action frames
// (answered by ActionResult) while the box runs and one Answer at its end.
//
// Both sides read what the other wrote as outside input: every length and
// count is checked against what is left, frames beyond the size limit and
// values outside their range are refused with a clear error, never trusted.
// Encoding into a fixed buffer allocates nothing and is safe in a signal
// handler; decoding allocates and is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crash/handling/ICDHelperLink.h"
#include "crash/report/ICDFields.h"
#include "crash/settings/CDPropertyTable.h"

inline constexpr uint32_t CDHelperProtocolVersion = 1;
// No frame may be longer: a report is a few hundred kilobytes at most.
inline constexpr uint32_t CDMaxHelperFrame = 32u * 1024 * 1024;
inline constexpr std::size_t CDHelperFrameHeader = 8;

enum class TCDHelperFrame : uint32_t {
  Hello = 1,
  Exception = 2,
  Report = 3,
  Action = 10,
  ActionResult = 11,
  Answer = 12,
};

struct TCDHelperHello {
  uint32_t Version = CDHelperProtocolVersion;
  uint32_t ProcessId = 0;
};

// The exception as the box needs it; FinishHere asks the helper to save the
// report itself (the crashed process cannot).
struct TCDHelperException {
  int32_t Type = 0;
  int32_t Source = 0;
  bool CanContinue = false;
  int32_t ShowMode = 0;
  bool FinishHere = false;
  bool CreateScreenShot = false;
  uint64_t ExceptionNumber = 0;
  std::string ClassName, Message, Assistant;
  // Settings this exception changed for itself.
  std::vector<TCDProperty> Settings;
};

struct TCDHelperReport {
  std::vector<TCDField> Header, Sections;
  bool Complete = false;
};

// ---- encoding ----

// Writes into a fixed buffer, or only counts when the buffer is null.
// Signal-safe.
class TCDWireWriter {
 public:
  TCDWireWriter(uint8_t* data, std::size_t capacity) : data_(data), capacity_(capacity) {}
  void U8(uint8_t v);
  void U32(uint32_t v);
  void U64(uint64_t v);
  void Text(std::string_view text);
  // Starts a frame; EndFrame fills in its length.
  std::size_t BeginFrame(TCDHelperFrame kind);
  void EndFrame(std::size_t start);
  std::size_t Size() const { return size_; }
  bool Overflow() const { return overflow_; }

 private:
  void Put(const void* bytes, std::size_t n);
  uint8_t* data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
  bool overflow_ = false;
};

// Each writes one whole frame. Signal-safe.
void EncodeHello(TCDWireWriter& w, const TCDHelperHello& hello);
void EncodeException(TCDWireWriter& w, int32_t type, int32_t source, bool canContinue, int32_t showMode,
                     bool finishHere, bool createScreenShot, uint64_t exceptionNumber, std::string_view className,
                     std::string_view message, std::string_view assistant,
                     std::span<const TCDProperty> settings);
void EncodeReport(TCDWireWriter& w, std::span<const TCDFieldView> header, std::span<const TCDFieldView> sections,
                  bool complete);
void EncodeAction(TCDWireWriter& w, int32_t action);
void EncodeActionResult(TCDWireWriter& w, bool handled);
void EncodeAnswer(TCDWireWriter& w, const TCDHelperAnswer& answer);

// The same into a new string. Not signal-safe.
std::string EncodeExceptionFrame(const TCDHelperException& e);
std::string EncodeReportFrame(const std::vector<TCDField>& header, const std::vector<TCDField>& sections,
                              bool complete);

// ---- decoding ----

struct TCDRawFrame {
  uint32_t Kind = 0;
  std::string Payload;
};

// Cuts a byte stream into frames. Not signal-safe.
class TCDFrameReader {
 public:
  void Append(const void* bytes, std::size_t n);
  // The next whole frame; false when more bytes are needed or on an error
  // (then Error() says why and the stream is not to be read further).
  bool Next(TCDRawFrame& frame);
  const std::string& Error() const { return error_; }

 private:
  std::string buffer_;
  std::size_t start_ = 0;
  std::string error_;
};

// Each takes a payload and refuses anything malformed: short, with trailing
// bytes, or with a value outside its range. Not signal-safe.
std::optional<TCDHelperHello> DecodeHello(std::string_view payload);
std::optional<TCDHelperException> DecodeException(std::string_view payload);
std::optional<TCDHelperReport> DecodeReport(std::string_view payload);
std::optional<int32_t> DecodeAction(std::string_view payload);
std::optional<bool> DecodeActionResult(std::string_view payload);
std::optional<TCDHelperAnswer> DecodeAnswer(std::string_view payload);
