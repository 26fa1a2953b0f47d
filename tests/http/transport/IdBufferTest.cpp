#include "http/transport/IdBuffer.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(IdBuffer, AppendToEmptyTakesTheArrayOver) {
  TIdBuffer buffer;
  TIdBytes bytes = ToBytes("hello");
  const uint8_t* data = bytes.data();
  buffer.AppendBytes(std::move(bytes));
  EXPECT_EQ(buffer.Size(), 5);
  EXPECT_EQ(buffer.Data(), data);  // no copy
}

TEST(IdBuffer, GrowsWithSlackAndCompactsOnlyPastTheSlack) {
  TIdBuffer buffer;
  buffer.AppendText("abc");
  buffer.AppendText("de");
  EXPECT_EQ(buffer.Capacity(), 3 + 2 + 2048);
  buffer.AppendText(std::string(100, 'x'));  // fits in the slack: no growth
  EXPECT_EQ(buffer.Capacity(), 3 + 2 + 2048);

  TIdBuffer big;
  big.AppendText(std::string(5000, 'a'));
  big.Discard(2048);  // exactly the slack in front: left where it is
  EXPECT_EQ(big.HeadOffset(), 2048);
  big.Discard(1);  // past the slack: moved to the front and shrunk
  EXPECT_EQ(big.HeadOffset(), 0);
  EXPECT_EQ(big.Size(), 5000 - 2049);
  EXPECT_EQ(big.Capacity(), 5000 - 2049 + 2048);
  big.Discard(100000);
  EXPECT_EQ(big.Size(), 0);
  EXPECT_EQ(big.Capacity(), 5000 - 2049 + 2048);  // a small store is kept for the next bytes
  const uint8_t* kept = big.Data();
  big.AppendText("next");
  EXPECT_EQ(big.Data(), kept);
  EXPECT_EQ(big.ExtractText(), "next");

  TIdBuffer huge;
  huge.AppendText(std::string(100 * 1024, 'h'));
  huge.EmptyBuffer();  // a large one is given back
  EXPECT_EQ(huge.Capacity(), 0);
  huge.AppendText("after");
  EXPECT_EQ(huge.ExtractText(), "after");
}

TEST(IdBuffer, AppendingKeepsOrderAcrossCompaction) {
  TIdBuffer buffer;
  buffer.AppendText("0123456789");
  buffer.Discard(4);
  buffer.AppendText("abc");
  EXPECT_EQ(buffer.ExtractText(), "456789abc");
}

TEST(IdBuffer, ExtractRules) {
  TIdBuffer buffer;
  buffer.AppendText("abcdefgh");
  EXPECT_EQ(buffer.ExtractText(0), "");
  EXPECT_EQ(buffer.ExtractText(-5), "");
  EXPECT_EQ(buffer.ExtractText(2), "ab");

  TIdBytes dest = ToBytes("XYZW");
  buffer.ExtractBytes(dest, 2, false);  // into the start, never shortened
  EXPECT_EQ(BytesToString(dest), "cdZW");
  buffer.ExtractBytes(dest, 1, true);
  EXPECT_EQ(BytesToString(dest), "cdZWe");
  TIdBytes empty;
  buffer.ExtractBytes(empty, 2, false);
  EXPECT_EQ(BytesToString(empty), "fg");
  EXPECT_EQ(buffer.ExtractText(-1), "h");
}

TEST(IdBuffer, ExtractingMoreThanQueuedNamesBothCounts) {
  TIdBuffer buffer;
  buffer.AppendText("abcd");
  try {
    buffer.ExtractText(10);
    FAIL();
  } catch (const EIdNotEnoughDataInBuffer& e) {
    EXPECT_EQ(e.Message(), "Not enough data in buffer. (10/4)");
  }
  TIdBytes dest;
  EXPECT_THROW(buffer.ExtractBytes(dest, 5), EIdNotEnoughDataInBuffer);
  TStringStream stream;
  EXPECT_THROW(buffer.MoveToStream(stream, 5), EIdNotEnoughDataInBuffer);
  EXPECT_EQ(buffer.Size(), 4);  // nothing lost
}

TEST(IdBuffer, RefusesToPassTheSignedLimitBeforeTouchingData) {
  TIdBuffer buffer;
  buffer.AppendText("a");
  uint8_t one = 0;
  // The claimed length is checked before a single byte is read from the source.
  try {
    buffer.AppendBytes(&one, static_cast<std::size_t>(std::numeric_limits<int32_t>::max()));
    FAIL();
  } catch (const EIdTooMuchDataInBuffer& e) {
    EXPECT_EQ(e.Message(), "Too much data in buffer.");
  }
  EXPECT_EQ(buffer.Size(), 1);
}

TEST(IdBuffer, FindBytesRules) {
  TIdBuffer buffer;
  EXPECT_EQ(buffer.FindText("", 99), -1);  // empty queue answers before any check
  buffer.AppendText("xxab\r\nyy\r\n");
  buffer.Discard(2);
  EXPECT_EQ(buffer.FindText("\r\n"), 2);
  EXPECT_EQ(buffer.FindText("\r\n", 3), 6);
  EXPECT_EQ(buffer.FindText("\r\n", 7), -1);
  EXPECT_EQ(buffer.FindText("yy\r\nzz"), -1);
  EXPECT_EQ(buffer.FindText("ab\r\nyy\r\nTOO-LONG"), -1);
  // A pattern that ends the queue, or is all of it: a line break that
  // arrives in a receive of its own must be found.
  struct Case {
    std::string queued, pattern;
    int32_t start, at;
  } ends[] = {{"\n", "\n", 0, 0}, {"abc\n", "\n", 0, 3}, {"abc\n", "\n", 3, 3}, {"\r\n", "\r\n", 0, 0},
              {"abc\r\n", "\r\n", 1, 3}, {"abc", "abc", 0, 0},   {"abc", "bc", 1, 1}};
  for (const Case& c : ends) {
    TIdBuffer queue;
    queue.AppendText(c.queued);
    EXPECT_EQ(queue.FindText(c.pattern, c.start), c.at) << c.queued;
  }
  try {
    buffer.FindText("");
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Buffer terminator must be specified.");
  }
  for (int32_t bad : {-1, 8, 100}) {
    try {
      buffer.FindText("a", bad);
      ADD_FAILURE() << bad;
    } catch (const EIdException& e) {
      EXPECT_EQ(e.Message(), "Buffer start position is invalid.");
    }
  }
}

TEST(IdBuffer, MoveToStreamAndConsumptionReports) {
  int32_t consumed = 0;
  int calls = 0;
  TIdBuffer buffer([&](TIdBuffer&, int32_t n) {
    consumed += n;
    ++calls;
  });
  buffer.AppendText("0123456789");
  TStringStream stream;
  buffer.MoveToStream(stream, 4);
  buffer.ExtractText(2);
  buffer.MoveToStream(stream);
  EXPECT_EQ(stream.DataString(), "01236789");
  EXPECT_EQ(consumed, 10);
  EXPECT_EQ(calls, 3);
  buffer.MoveToStream(stream);  // nothing queued: nothing reported
  EXPECT_EQ(calls, 3);
}

}  // namespace
