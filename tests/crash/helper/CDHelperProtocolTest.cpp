#include "crash/helper/CDHelperProtocol.h"

#include <gtest/gtest.h>

#include "tests/crash/helper/HelperExceptionSample.h"

namespace {

std::vector<TCDRawFrame> Frames(const std::string& bytes, std::size_t chunk, std::string* error = nullptr) {
  TCDFrameReader reader;
  std::vector<TCDRawFrame> frames;
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    reader.Append(bytes.data() + at, std::min(chunk, bytes.size() - at));
    TCDRawFrame f;
    while (reader.Next(f)) frames.push_back(f);
  }
  if (error != nullptr) *error = reader.Error();
  return frames;
}

std::string Encoded(void (*encode)(TCDWireWriter&)) {
  uint8_t buffer[256];
  TCDWireWriter w(buffer, sizeof buffer);
  encode(w);
  return std::string(reinterpret_cast<char*>(buffer), w.Size());
}

TCDHelperException SampleException() {
  TCDHelperException e = SampleHelperException("/tmp/x.txt");
  e.ShowMode = 2;
  e.FinishHere = true;
  e.ExceptionNumber = 7;
  return e;
}

TEST(HelperProtocol, FramesCutAtEveryByteComeOutWhole) {
  const std::string report = EncodeReportFrame({{"exception class", "E"}}, {{"main thread ($1):", "a\r\nb"}}, true);
  const std::string stream = EncodeExceptionFrame(SampleException()) + report;
  for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    const std::vector<TCDRawFrame> frames = Frames(stream, chunk);
    ASSERT_EQ(frames.size(), 2u) << chunk;
    const std::optional<TCDHelperException> e = DecodeException(frames[0].Payload);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->ClassName, "EAccessViolation");
    EXPECT_EQ(e->Source, 14);
    EXPECT_TRUE(e->FinishHere);
    EXPECT_EQ(e->ExceptionNumber, 7u);
    ASSERT_EQ(e->Settings.size(), 1u);
    EXPECT_EQ(e->Settings[0].TextValue, "/tmp/x.txt");
    const std::optional<TCDHelperReport> r = DecodeReport(frames[1].Payload);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->Complete);
    ASSERT_EQ(r->Sections.size(), 1u);
    EXPECT_EQ(r->Sections[0].Content, "a\r\nb");
  }
}

TEST(HelperProtocol, EveryShortenedPayloadIsRefused) {
  const std::string frame = EncodeExceptionFrame(SampleException());
  const std::string payload = frame.substr(CDHelperFrameHeader);
  for (std::size_t n = 0; n < payload.size(); ++n) EXPECT_FALSE(DecodeException(payload.substr(0, n))) << n;
  EXPECT_FALSE(DecodeException(payload + "x")) << "trailing bytes";
  const std::string report = EncodeReportFrame({{"a", "b"}}, {}, false).substr(CDHelperFrameHeader);
  for (std::size_t n = 0; n < report.size(); ++n) EXPECT_FALSE(DecodeReport(report.substr(0, n))) << n;
}

TEST(HelperProtocol, ValuesOutsideTheirRangeAreRefused) {
  struct Case {
    const char* what;
    std::string frame;
    bool valid;
  } cases[] = {
      {"continue", Encoded([](TCDWireWriter& w) { EncodeAnswer(w, {4, false, true}); }), true},
      {"close", Encoded([](TCDWireWriter& w) { EncodeAnswer(w, {6, true, false}); }), true},
      {"ending 3", Encoded([](TCDWireWriter& w) { EncodeAnswer(w, {3, false, false}); }), false},
      {"ending 7", Encoded([](TCDWireWriter& w) { EncodeAnswer(w, {7, false, false}); }), false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DecodeAnswer(c.frame.substr(CDHelperFrameHeader)).has_value(), c.valid) << c.what;

  EXPECT_TRUE(DecodeAction(Encoded([](TCDWireWriter& w) { EncodeAction(w, 6); }).substr(CDHelperFrameHeader)));
  EXPECT_FALSE(DecodeAction(Encoded([](TCDWireWriter& w) { EncodeAction(w, 7); }).substr(CDHelperFrameHeader)));
  EXPECT_FALSE(DecodeAction(Encoded([](TCDWireWriter& w) { EncodeAction(w, -1); }).substr(CDHelperFrameHeader)));
  // A Boolean byte is 0 or 1, nothing else.
  EXPECT_FALSE(DecodeActionResult(std::string(1, '\x02')));
  TCDHelperException e = SampleException();
  e.ShowMode = 4;
  EXPECT_FALSE(DecodeException(EncodeExceptionFrame(e).substr(CDHelperFrameHeader)));
  e = SampleException();
  e.Source = 0;
  EXPECT_FALSE(DecodeException(EncodeExceptionFrame(e).substr(CDHelperFrameHeader)));
}

TEST(HelperProtocol, ACountBeyondTheBytesLeftIsRefusedBeforeAnythingIsAllocated) {
  // Four billion fields promised in four bytes.
  const std::string payload("\xff\xff\xff\xff", 4);
  EXPECT_FALSE(DecodeReport(payload));
}

TEST(HelperProtocol, AFrameBeyondTheLimitStopsTheStreamWithAClearError) {
  std::string header(CDHelperFrameHeader, '\0');
  header[0] = 3;
  const uint32_t length = CDMaxHelperFrame + 1;
  for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>(length >> (8 * i));
  std::string error;
  EXPECT_TRUE(Frames(header + "rest", 3, &error).empty());
  EXPECT_NE(error.find("exceeds the limit"), std::string::npos) << error;
}

TEST(HelperProtocol, AFixedBufferTooSmallOverflowsInsteadOfWritingPastIt) {
  uint8_t buffer[20];
  TCDWireWriter w(buffer, sizeof buffer);
  EncodeException(w, 0, 14, false, 0, true, false, 1, "EAccessViolation", "a long message", "", {});
  EXPECT_TRUE(w.Overflow());
  EXPECT_LE(w.Size(), sizeof buffer);
}

}  // namespace
