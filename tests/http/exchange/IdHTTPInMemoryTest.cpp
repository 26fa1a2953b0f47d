// The exchange over an in-memory I/O handler: each answer is fed whole, cut
// at every byte position and one byte at a time, and must end the same way
// each time, with the same request sent. A reader that depends on how the
// bytes happen to arrive fails here, not on a busy network.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "http/exchange/IdHTTP.h"
#include "tests/support/ScriptedIOHandler.h"

namespace {

struct Outcome {
  std::string body;   // the result, or the error body of a refusal
  std::string error;  // the exception's class, empty for a success
  std::string message;
  std::vector<std::string> sent;

  bool operator==(const Outcome&) const = default;
};

Outcome Body(std::string body) { return Outcome{std::move(body), "", "", {}}; }
Outcome Fails(std::string error, std::string message, std::string body = "") {
  return Outcome{std::move(body), std::move(error), std::move(message), {}};
}

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  return out << (o.error.empty() ? "body \"" + o.body + "\"" : o.error + " \"" + o.message + "\" \"" + o.body + "\"");
}

// maxLine other than 0 replaces the handler's longest line.
Outcome Post(ScriptedAnswer answer, int32_t maxLine = 0) {
  auto owned = std::make_unique<ScriptedIOHandler>(std::move(answer));
  ScriptedIOHandler& io = *owned;
  if (maxLine != 0) io.MaxLineLength = maxLine;
  Outcome outcome;
  {
    TIdHTTP http;
    http.SetIOHandler(std::move(owned));
    try {
      outcome.body = http.PostFormText("http://127.0.0.1/x.php?a=1", nullptr);
    } catch (const EIdHTTPProtocolException& e) {
      outcome = Fails(e.ClassName(), e.Message(), e.ErrorBody);
    } catch (const Exception& e) {
      outcome = Fails(e.ClassName(), e.Message());
    }
    outcome.sent = io.Sent();  // the client owns the handler
  }
  return outcome;
}

std::string Chunked(const std::string& chunks) {
  return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks;
}

}  // namespace

TEST(InMemoryExchange, AnAnswerEndsTheSameWhereverItIsCut) {
  std::string tinyChunks;
  for (int i = 0; i < 40; ++i) tinyChunks += "1\r\nx\r\n";
  struct Case {
    const char* name;
    std::string answer;
    ScriptedAnswer::End end = ScriptedAnswer::kClose;
    int32_t maxLine = 0;  // other than 0: the longest line the handler takes
  };
  const std::vector<Case> cases = {
      {"a body by length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"},
      {"a body until close", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nall of it"},
      {"lines ended by LF alone", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok"},
      {"a chunked body with an extension and a trailer",
       Chunked("5;name=value\r\nhello\r\n6\r\n world\r\n0\r\nTrailer: t\r\n\r\n")},
      {"many tiny chunks", Chunked(tinyChunks + "0\r\n\r\n")},
      {"an interim answer first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
      {"early hints first",
       "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
      {"a status line that is not HTTP", "XTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
      {"a refusal with its body", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone"},
      {"a body cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n1234"},
      {"a chunk cut off in its data", Chunked("5\r\nhello\r\n5\r\nwor")},
      {"a chunk without its line break", Chunked("5\r\nhelloXY0\r\n\r\n")},
      {"an invalid chunk size", Chunked("5\r\nhello\r\nzz\r\n")},
      {"a head cut off", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"},
      // With lines of at most 32 bytes before their LF, CR included (the head's longest has 27).
      {"a chunk-size line as long as a line may be", Chunked("5;" + std::string(29, 'x') + "\r\nhello\r\n0\r\n\r\n"),
       ScriptedAnswer::kClose, 32},
      {"a chunk-size line longer than a line may be",
       Chunked("5\r\nhello\r\n5;" + std::string(30, 'x') + "\r\nworld\r\n0\r\n\r\n"), ScriptedAnswer::kClose, 32},
      {"a line after chunk data longer than a line may be",
       Chunked("5\r\nhello\r\n5\r\nworld" + std::string(32, ' ') + "\r\n0\r\n\r\n"), ScriptedAnswer::kClose, 32},
      {"a reset after part of the body", "HTTP/1.1 200 OK\r\n\r\nabc", ScriptedAnswer::kReset},
      {"silence after part of the body", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc", ScriptedAnswer::kSilence},
  };
  for (const Case& c : cases) {
    const Outcome whole = Post(ScriptedAnswer{c.answer, {}, c.end}, c.maxLine);
    ASSERT_EQ(whole.sent.size(), 1u) << c.name;
    for (std::size_t cut = 1; cut < c.answer.size(); ++cut)
      EXPECT_EQ(Post(ScriptedAnswer{c.answer, {cut}, c.end}, c.maxLine), whole) << c.name << ", cut after " << cut;
    EXPECT_EQ(Post(ScriptedAnswer::InPieces(c.answer, 1, c.end), c.maxLine), whole) << c.name << ", byte by byte";
  }
}

TEST(InMemoryExchange, WholeAnswersGiveTheirBodyOrTheirError) {
  struct Case {
    std::string answer;
    Outcome expect;
    int32_t maxLine = 0;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", Body("hello")},
      {Chunked("5;name=value\r\nhello\r\n6\r\n world\r\n0\r\nTrailer: t\r\n\r\n"), Body("hello world")},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone",
       Fails("EIdHTTPProtocolException", "HTTP/1.1 404 Not Found", "gone")},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n1234",
       Fails("EIdHTTPMalformedResponse", "Connection closed after 4 of 10 body bytes.")},
      {Chunked("5\r\nhello\r\n5\r\nwor"),
       Fails("EIdHTTPMalformedResponse", "Connection closed inside a chunked body after 8 bytes.")},
      {Chunked("5;" + std::string(29, 'x') + "\r\nhello\r\n0\r\n\r\n"), Body("hello"), 32},
      {Chunked("5;" + std::string(30, 'x') + "\r\nhello\r\n0\r\n\r\n"),
       Fails("EIdReadLnMaxLineLengthExceeded", "Max line length exceeded."), 32},
      {Chunked("5\r\nhello" + std::string(32, ' ') + "\r\n0\r\n\r\n"),
       Fails("EIdReadLnMaxLineLengthExceeded", "Max line length exceeded."), 32},
      {Chunked("5\r\nhelloXY\r\n0\r\n\r\n"),
       Fails("EIdHTTPMalformedResponse", "Chunk data is not followed by a line break.")},
      // Interim answers of any kind but 101 come before the real one.
      {"HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\nHTTP/1.1 100 Continue\r\n\r\n"
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       Body("ok")},
      {"HTTP/1.1 199 Odd\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", Body("ok")},
      // The status line must be HTTP/1.0 or 1.1 with a three-digit code.
      {"HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok", Body("ok")},
      {"XTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       Fails("EIdHTTPMalformedResponse", "Invalid status line \"XTTP/1.1 200 OK\".")},
      {"HTTP/9.9 200 OK\r\nContent-Length: 2\r\n\r\nok",
       Fails("EIdHTTPMalformedResponse", "Unsupported HTTP version in status line \"HTTP/9.9 200 OK\".")},
      {"HTTP/1.1 OK\r\nContent-Length: 2\r\n\r\nok",
       Fails("EIdHTTPMalformedResponse", "Invalid status line \"HTTP/1.1 OK\".")},
      // A control byte in a header name.
      {std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-A\0B: 1\r\n\r\nok", 50),
       Fails("EIdHTTPMalformedResponse", "Control character in header name \"X-A\\x00B\".")},
      // A transfer coding we do not undo.
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
       Fails("EIdHTTPMalformedResponse", "Unsupported transfer coding \"gzip\".")},
  };
  for (const Case& c : cases) {
    Outcome got = Post(ScriptedAnswer{c.answer}, c.maxLine);
    EXPECT_EQ(got.sent.size(), 1u);
    got.sent.clear();
    EXPECT_EQ(got, c.expect) << c.answer;
  }
}

TEST(InMemoryExchange, TheReplyVersionIsTheLastOneAnAnswerNamed) {
  const auto answer = [](const std::string& status) {
    return ScriptedAnswer{status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"};
  };
  TIdHTTP http;
  http.SetIOHandler(std::make_unique<ScriptedIOHandler>(
      std::vector<ScriptedAnswer>{answer("HTTP/1.0 200 OK"), answer("HTTP/9.9 200 OK"), answer("HTTP/1.1 200 OK")}));
  const std::string url = "http://127.0.0.1/x";
  http.PostFormText(url, nullptr);
  EXPECT_EQ(http.Response().ReplyVersion, pv1_0);
  EXPECT_THROW(http.PostFormText(url, nullptr), EIdHTTPMalformedResponse);
  EXPECT_EQ(http.Response().ReplyVersion, pv1_0) << "a version the client does not know changes nothing";
  EXPECT_EQ(http.Response().StatusLine(), "HTTP/9.9 200 OK");
  http.PostFormText(url, nullptr);
  EXPECT_EQ(http.Response().ReplyVersion, pv1_1);
}

TEST(InMemoryExchange, AStreamThatHeldMoreEndsWhereTheBodyEnds) {
  // The body is written from the stream's position on, and nothing that stood after it stays.
  const std::string chunked = Chunked("2\r\nhe\r\n3\r\nllo\r\n0\r\n\r\n");
  const ScriptedAnswer answers[] = {
      ScriptedAnswer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"),
      ScriptedAnswer(chunked),
      ScriptedAnswer::InPieces(chunked, 1),
  };
  for (const ScriptedAnswer& answer : answers) {
    TIdHTTP http;
    http.SetIOHandler(std::make_unique<ScriptedIOHandler>(answer));
    TStringStream stream("XXXXXXXXXXXX");
    stream.SetPosition(2);
    http.Get("http://127.0.0.1/x", stream);
    EXPECT_EQ(stream.DataString(), "XXhello") << answer.bytes;
  }
}

// A relative redirect stays on the IPv6 host it came from, in brackets.
TEST(InMemoryExchange, ARelativeRedirectStaysOnAnIPv6Host) {
  auto owned = std::make_unique<ScriptedIOHandler>(
      std::vector<ScriptedAnswer>{ScriptedAnswer{"HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 0\r\n\r\n"},
                                  ScriptedAnswer{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}});
  ScriptedIOHandler& io = *owned;
  TIdHTTP http;
  http.HandleRedirects = true;
  http.SetIOHandler(std::move(owned));
  TStringStream body;
  http.Get("http://[::1]:8080/start", body);
  EXPECT_EQ(body.DataString(), "ok");
  ASSERT_EQ(io.Sent().size(), 2u);
  EXPECT_NE(io.Sent()[1].find("GET /next HTTP/1.1\r\nHost: [::1]:8080\r\n"), std::string::npos) << io.Sent()[1];
  EXPECT_EQ(http.URL().IPVersion, Id_IPv6);
}
