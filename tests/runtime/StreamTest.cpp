#include "runtime/Stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

TEST(Stream, MemoryStreamReadsWritesSeeksAndResizes) {
  TStringStream s;
  s.WriteText("hello world");
  EXPECT_EQ(s.Position(), 11);
  s.SetPosition(6);
  s.WriteText("there!");
  EXPECT_EQ(s.DataString(), "hello there!");
  s.SetSize(5);
  EXPECT_EQ(s.Position(), 5);
  EXPECT_EQ(s.DataString(), "hello");
  s.SetPosition(0);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 5);
  EXPECT_EQ(s.Read(buf, 8), 0);
  EXPECT_THROW(s.ReadBuffer(buf, 1), EReadError);
  s.SetPosition(100);
  s.WriteText("!");
  EXPECT_EQ(s.Size(), 101);
}

TEST(Stream, ALimitedStreamKeepsWhatFitsAndRaisesPastItsLimit) {
  TLimitedStringStream s(8);
  s.WriteText("1234");
  s.SetSize(1 << 20);  // a reader's size hint grows nothing
  EXPECT_EQ(s.Size(), 4);
  s.SetSize(4);
  s.WriteText("5678");
  EXPECT_EQ(s.DataString(), "12345678");
  try {
    s.WriteText("9");
    FAIL();
  } catch (const EStreamLimitExceeded& e) {
    EXPECT_EQ(e.Message(), "Stream limit of 8 bytes exceeded");
  }
  // Past its limit the stream keeps its head, even when a reader that gave up
  // tries to cut it back.
  s.SetPosition(6);
  EXPECT_THROW(s.WriteText("abc"), EWriteError);
  EXPECT_THROW(s.SetSize(0), EStreamLimitExceeded);
  EXPECT_EQ(s.DataString(), "12345678");
}

TEST(Stream, CopyFromZeroCopiesTheWholeSource) {
  TStringStream src("abcdef");
  src.SetPosition(3);
  TStringStream dst;
  EXPECT_EQ(dst.CopyFrom(src, 0), 6);
  EXPECT_EQ(dst.DataString(), "abcdef");
  src.SetPosition(2);
  TStringStream part;
  part.CopyFrom(src, 2);
  EXPECT_EQ(part.DataString(), "cd");
}

TEST(Stream, FileStreamRoundTripAndErrors) {
  auto dir = std::filesystem::temp_directory_path() / ("pinmark-stream-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string path = (dir / "f.bin").string();
  {
    TFileStream out(path, TFileStream::fmCreate);
    out.WriteText("0123456789");
    out.SetSize(4);
  }
  TFileStream in(path, TFileStream::fmOpenRead);
  EXPECT_EQ(in.Size(), 4);
  char buf[4];
  in.ReadBuffer(buf, 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_THROW(TFileStream((dir / "missing").string(), TFileStream::fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream((dir / "no/such/dir").string(), TFileStream::fmCreate), EFCreateError);
  std::filesystem::remove_all(dir);
}

TEST(Stream, FileStreamOnADeviceIgnoresSizeChanges) {
  TFileStream null("/dev/null", TFileStream::fmCreate);
  null.SetSize(1 << 20);
  null.WriteText("discarded");
  null.SetSize(0);
}
