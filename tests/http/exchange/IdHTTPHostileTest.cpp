// The exchange against hostile peers: every answer ends either in its whole
// body as framed or in a clear error with no body, within the read time-out
// and with bounded memory. Each table row is one named peer script.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/exchange/IdHTTP.h"
#include "http/protocol/IdCookieManager.h"
#include "http/transport/IdSocksInfo.h"
#include "tests/support/HttpTestPeer.h"

using namespace hostile;

namespace {
constexpr const char* kMalformed = "EIdHTTPMalformedResponse";
constexpr const char* kRefused = "EIdHTTPProtocolException";
constexpr const char* kClosed = "EIdConnClosedGracefully";
constexpr const char* kReset = "EIdSocketError";
constexpr const char* kTimeout = "EIdReadTimeout";
constexpr const char* kDeadline = "EIdDeadlineExceeded";

// A status line and header lines (each given with its CR LF), then the empty line.
std::string Head(const std::string& status, const std::string& headers = "") {
  return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n";
}
std::string Chunked(const std::string& chunks) { return Head("200 OK", "Transfer-Encoding: chunked\r\n") + chunks; }
std::string Ok(const std::string& body) {
  return Head("200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n") + body;
}
Script Answer(const std::string& bytes) { return {Send(bytes), Close()}; }

struct Client {
  bool get = false;  // GET into a stream instead of the program's POST
  bool redirects = false;
  bool inProcessAuth = false;
  // Every case is bounded by a read time-out, so a regression fails instead of hanging.
  int32_t readTimeout = 3000;
  std::string userInfo;  // "user:password@" in the URL
  int32_t deadline = 0;  // ms for the whole exchange; 0: none
};
Client With(bool get, bool redirects, int32_t readTimeout = 3000) {
  Client c;
  c.get = get;
  c.redirects = redirects;
  c.readTimeout = readTimeout;
  return c;
}
const Client kPost{};
const Client kGet = With(true, false);
const Client kQuick = With(false, false, 300);
const Client kFollow = With(true, true);

// What a case must end in: a body, or an error of that class whose message
// contains the given text.
struct Outcome {
  std::string body;
  std::string error;
  std::string message;
};
Outcome Body(std::string body) { return Outcome{std::move(body), "", ""}; }
Outcome Fails(const char* error, std::string message = "") { return Outcome{"", error, std::move(message)}; }

struct Result {
  Outcome outcome;
  int32_t replyCode = 0;
  std::string errorBody;
  std::vector<std::string> requests;
  int connections = 0;
};

Result Exchange(Peer& peer, const Client& client) {
  TIdHTTP http;
  http.HandleRedirects = client.redirects;
  if (client.inProcessAuth) http.HTTPOptions |= hoInProcessAuth;
  http.SetReadTimeout(client.readTimeout);
  http.SetConnectTimeout(3000);
  if (client.deadline > 0) http.SetDeadline(TIdDeadline::After(client.deadline));
  const std::string url = "http://" + client.userInfo + "127.0.0.1:" + std::to_string(peer.Port()) + "/x";
  Result r;
  TStringStream stream;
  try {
    if (client.get) {
      http.Get(url, stream);
      r.outcome.body = stream.DataString();
    } else {
      r.outcome.body = http.PostFormText(url, nullptr);
    }
  } catch (const EIdHTTPProtocolException& e) {
    r.outcome = Fails(e.ClassName(), e.Message());
    r.replyCode = e.ReplyCode;
    r.errorBody = e.ErrorBody;
  } catch (const Exception& e) {
    r.outcome = Fails(e.ClassName(), e.Message());
  }
  if (!r.outcome.error.empty()) {
    EXPECT_EQ(stream.Size(), 0) << "a failed exchange leaves no partial body";
  }
  r.requests = peer.Requests();
  r.connections = peer.Connections();
  return r;
}

struct Case {
  const char* name;
  Script script;
  Outcome expect;
  Client client = kPost;
};

Result Check(const Case& c, const Client& client) {
  Peer peer(c.script);
  Result r = Exchange(peer, client);
  EXPECT_EQ(r.outcome.error, c.expect.error) << c.name << ": " << r.outcome.message;
  if (c.expect.error.empty()) {
    EXPECT_EQ(r.outcome.body, c.expect.body) << c.name;
  } else {
    EXPECT_NE(r.outcome.message.find(c.expect.message), std::string::npos) << c.name << ": " << r.outcome.message;
  }
  return r;
}

void CheckAll(const std::vector<Case>& cases) {
  for (const Case& c : cases) Check(c, c.client);
}
}  // namespace

TEST(HostilePeer, TruncatedAnswersAreErrorsWithNoBody) {
  const std::string chunked = "Transfer-Encoding: chunked\r\n";
  const std::vector<Case> cases = {
      {"a body cut short by a close", Answer(Head("200 OK", "Content-Length: 10\r\n") + "1234"),
       Fails(kMalformed, "Connection closed after 4 of 10 body bytes.")},
      {"a body cut short by a reset", {Send(Head("200 OK", "Content-Length: 10\r\n") + "1234"), Pause(50), Reset()},
       Fails(kReset)},
      {"a body read until close, then reset", {Send(Head("200 OK") + "abc"), Pause(50), Reset()}, Fails(kReset)},
      {"a head cut off before its empty line", Answer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"),
       Fails(kMalformed, "before the end of the response head")},
      {"a status line cut off", Answer("HTTP/1.1 20"), Fails(kClosed)},
      {"a close before any answer", {Close()}, Fails(kClosed)},
      {"a reset before any answer", {Reset()}, Fails(kReset)},
      {"a chunk cut off in its data", Answer(Chunked("5\r\nhel")),
       Fails(kMalformed, "inside a chunked body after 3 bytes")},
      {"a chunked body without its last chunk", Answer(Chunked("5\r\nhello\r\n")), Fails(kMalformed, "after 5 bytes")},
      {"a chunked body without its final line", Answer(Chunked("5\r\nhello\r\n0\r\n")), Fails(kMalformed)},
      {"a chunked body reset", {Send(Chunked("5\r\nhello\r\n")), Pause(50), Reset()}, Fails(kReset)},
      {"a whole body read until close", Answer(Head("200 OK") + "all of it"), Body("all of it")},
      {"a whole body by length", Answer(Ok("hello")), Body("hello")},
  };
  for (const Client& mode : {kPost, kGet})
    for (const Case& c : cases) Check(c, mode);
}

TEST(HostilePeer, ChunkSizesMustBeHexadecimalNumbers) {
  std::vector<Case> cases;
  for (const char* size : {"", "zz", "-5", "0x5", "+5", "5 junk", "00000000000000005", "8000000000000000"})
    cases.push_back({size, Answer(Chunked(std::string(size) + "\r\nhello\r\n0\r\n\r\n")),
                     Fails(kMalformed, "Invalid chunk size line")});
  for (const char* size : {"5", "5;name=x", " 5 ", "0000000000000005"})
    cases.push_back({size, Answer(Chunked(std::string(size) + "\r\nhello\r\n0\r\n\r\n")), Body("hello")});
  cases.push_back({"a size past the end of the connection", Answer(Chunked("7fffffffffffffff\r\nhello")),
                   Fails(kMalformed, "inside a chunked body after 5 bytes")});
  CheckAll(cases);
}

TEST(HostilePeer, ChunkedFramingIsCheckedAroundTheSizes) {
  const std::string body = "5\r\nhello\r\n0\r\n\r\n";
  CheckAll({
      {"Chunked in capitals", Answer(Head("200 OK", "Transfer-Encoding: Chunked\r\n") + body), Body("hello")},
      {"chunked as the last of several codings",
       Answer(Head("200 OK", "Transfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n") + body), Body("hello")},
      {"identity alone: read until close", Answer(Head("200 OK", "Transfer-Encoding: identity\r\n") + body),
       Body(body)},
      // Codings we do not undo: their bytes are not the body.
      {"gzip before chunked", Answer(Head("200 OK", "Transfer-Encoding: gzip, chunked\r\n") + body),
       Fails(kMalformed, "Unsupported transfer coding \"gzip\".")},
      {"deflate on a line of its own",
       Answer(Head("200 OK", "Transfer-Encoding: deflate\r\nTransfer-Encoding: chunked\r\n") + body),
       Fails(kMalformed, "\"deflate\"")},
      {"chunked not last", Answer(Head("200 OK", "Transfer-Encoding: chunked, gzip;q=1\r\n") + body),
       Fails(kMalformed, "\"gzip\"")},
      {"notchunked is another coding", Answer(Head("200 OK", "Transfer-Encoding: notchunked\r\n") + body),
       Fails(kMalformed, "\"notchunked\"")},
      {"a refusal in gzip chunks is still a refusal",
       Answer(Head("500 Oops", "Transfer-Encoding: gzip, chunked\r\n") + body), Fails(kRefused, "500")},
      {"chunked outweighs a length",
       Answer(Head("200 OK", "Transfer-Encoding: chunked\r\nContent-Length: 100\r\n") + body), Body("hello")},
      {"trailer lines are read to the empty line", Answer(Chunked("5\r\nhello\r\n0\r\nX-A: 1\r\nX-B: 2\r\n\r\n")),
       Body("hello")},
      {"chunk data longer than its size", Answer(Chunked("3\r\nhello\r\n0\r\n\r\n")),
       Fails(kMalformed, "not followed by a line break")},
      {"a stall inside a chunked body", {Send(Chunked("5\r\nhello\r\n")), Hold()}, Fails(kTimeout, "Read Timeout"),
       kQuick},
      {"ten thousand one-byte chunks", Answer(Chunked([] {
         std::string chunks;
         for (int i = 0; i < 10000; ++i) chunks += "1\r\n" + std::string(1, static_cast<char>('a' + i % 26)) + "\r\n";
         return chunks + "0\r\n\r\n";
       }())),
       Body([] {
         std::string all;
         for (int i = 0; i < 10000; ++i) all += static_cast<char>('a' + i % 26);
         return all;
       }())},
  });
}

TEST(HostilePeer, LengthsAre64BitNumbersThatAgree) {
  const auto withLength = [](const std::string& lines) { return Answer(Head("200 OK", lines) + "hello"); };
  std::vector<Case> cases = {
      {"a length past 32 bits", withLength("Content-Length: 3000000000\r\n"),
       Fails(kMalformed, "after 5 of 3000000000 body bytes")},
      {"the same length twice", withLength("Content-Length: 5\r\nContent-Length: 5\r\n"), Body("hello")},
      {"the same length in a list", withLength("Content-Length: 5, 5\r\n"), Body("hello")},
      {"two lengths that differ", withLength("Content-Length: 5\r\nContent-Length: 6\r\n"),
       Fails(kMalformed, "Conflicting Content-Length values 5 and 6.")},
      {"a list of lengths that differ", withLength("Content-Length: 5, 4\r\n"), Fails(kMalformed, "Conflicting")},
  };
  for (const char* bad : {"-1", "abc", "99999999999999999999", "", "+5", "5 5", "0x5", "5,"})
    cases.push_back({bad, withLength("Content-Length: " + std::string(bad) + "\r\n"),
                     Fails(kMalformed, "Invalid Content-Length")});
  CheckAll(cases);
}

TEST(HostilePeer, HeadsLongerThanTheLineLimitAreRefused) {
  const auto headOf = [](int lines) {
    std::string headers;
    for (int i = 0; i < lines - 1; ++i) headers += "X-" + std::to_string(i) + ": v\r\n";
    return Answer(Head("200 OK", headers + "Content-Length: 2\r\n") + "ok");
  };
  std::string interim;
  for (int i = 0; i < 17; ++i) interim += "HTTP/1.1 100 Continue\r\n\r\n";
  CheckAll({
      {"255 header lines", headOf(255), Body("ok")},
      {"256 header lines", headOf(256), Fails(kMalformed, "more than 255 header lines")},
      {"one 100 Continue before the answer", Answer("HTTP/1.1 100 Continue\r\n\r\n" + Ok("ok")), Body("ok")},
      {"endless 100 Continue heads", Answer(interim + interim), Fails(kMalformed, "interim")},
      {"103 Early Hints before the answer",
       Answer("HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n" + Ok("ok")), Body("ok")},
      {"101 is an answer, not an interim one", Answer("HTTP/1.1 101 Switching Protocols\r\n\r\n" + Ok("ok")),
       Fails(kRefused, "101")},
  });
}

TEST(HostilePeer, StatusLinesAndHeaderNamesMustBeHttp) {
  const auto with = [](const std::string& status) { return Answer(status + "\r\nContent-Length: 2\r\n\r\nok"); };
  CheckAll({
      {"HTTP/1.0", with("HTTP/1.0 200 OK"), Body("ok")},
      {"a code and no reason", with("HTTP/1.1 200"), Body("ok")},
      {"the name in small letters", with("http/1.1 200 OK"), Body("ok")},
      {"not HTTP", with("XTTP/1.1 200 OK"), Fails(kMalformed, "Invalid status line \"XTTP/1.1 200 OK\".")},
      {"HTTP/9.9", with("HTTP/9.9 200 OK"), Fails(kMalformed, "Unsupported HTTP version")},
      {"HTTP/2", with("HTTP/2 200"), Fails(kMalformed, "Unsupported HTTP version")},
      {"no code", with("HTTP/1.1 OK"), Fails(kMalformed, "Invalid status line")},
      {"a two-digit code", with("HTTP/1.1 20 OK"), Fails(kMalformed, "Invalid status line")},
      {"a four-digit code", with("HTTP/1.1 2000 OK"), Fails(kMalformed, "Invalid status line")},
      {"no blank after the version", with("HTTP/1.1200 OK"), Fails(kMalformed, "Invalid status line")},
      {"nothing but a line break", with(""), Fails(kMalformed, "Invalid status line \"\".")},
      {"a NUL in a header name", Answer(std::string("HTTP/1.1 200 OK\r\nX\0Y: 1\r\nContent-Length: 2\r\n\r\nok", 48)),
       Fails(kMalformed, "Control character in header name \"X\\x00Y\".")},
      {"a tab in a header name", Answer(Head("200 OK", "Content\tLength: 1\r\nContent-Length: 2\r\n") + "ok"),
       Fails(kMalformed, "Control character in header name")},
      {"control bytes in a value are the value's business",
       Answer(Head("200 OK", "X-A: a\x01b\r\nContent-Length: 2\r\n") + "ok"), Body("ok")},
  });
}

TEST(HostilePeer, RedirectsAreFollowedOnlyWhereTheyLead) {
  const std::string moved = "302 Found";
  struct Redirect {
    const char* name;
    Scripter scripter;
    Outcome expect;
    int requests;
    std::string lastRequestStart = "";
    Client client = kFollow;
  };
  // The first request is redirected with these header lines; every later one
  // gets "ok". Connections stay open, so a followed redirect may reuse one.
  const auto firstThen = [](const std::string& status, const std::string& lines) -> Scripter {
    return [=](const std::string&, int i) {
      return Script{Send(i == 0 ? Head(status, lines + "Content-Length: 4\r\n") + "page" : Ok("ok"))};
    };
  };
  const auto always = [](const Script& script) -> Scripter {
    return [=](const std::string&, int) { return script; };
  };
  const std::vector<Redirect> cases = {
      {"a redirect loop", always({Send(Head(moved, "Location: /again\r\nContent-Length: 4\r\n") + "loop")}),
       Fails(kRefused, "HTTP/1.1 302 Found"), 15},
      {"a 3xx without a Location", firstThen(moved, ""), Fails(kRefused, "HTTP/1.1 302 Found"), 1},
      {"an empty Location", firstThen(moved, "Location: \r\n"), Fails(kRefused, "302"), 1},
      {"a Location without a host", firstThen(moved, "Location: http:///x\r\n"), Fails(kRefused, "302"), 1},
      {"an ftp Location", firstThen(moved, "Location: ftp://127.0.0.1/x\r\n"),
       Fails("EIdUnknownProtocol", "Unknown Protocol"), 1},
      {"a file Location", firstThen(moved, "Location: file:///etc/passwd\r\n"), Fails("EIdUnknownProtocol"), 1},
      {"a javascript Location", firstThen(moved, "Location: javascript:alert(1)\r\n"), Fails("EIdUnknownProtocol"), 1},
      {"a scheme-relative Location names a new host", firstThen(moved, "Location: //localhost:{port}/y\r\n"),
       Body("ok"), 2, "GET /y HTTP/1.1\r\nHost: localhost:"},
      {"a fragment is never sent", firstThen(moved, "Location: /y?q=1#frag\r\n"), Body("ok"), 2,
       "GET /y?q=1 HTTP/1.1\r\n"},
      {"blanks and control characters are encoded", firstThen(moved, "Location: /a b\x01" "c\rd\x7f\r\n"), Body("ok"),
       2, "GET /a%20b%01c%0Dd%7F HTTP/1.1\r\n"},
      {"201 Created with its Location is a success", firstThen("201 Created", "Location: /made\r\n"), Body("page"), 1,
       "", kPost},
      {"200 with a Location is a success", firstThen("200 OK", "Location: /else\r\n"), Body("page"), 1, "", kPost},
      {"bytes after a redirect are not taken for the next answer",
       [moved](const std::string&, int i) {
         if (i > 0) return Answer(Ok("ok"));
         return Script{Send(Head(moved, "Location: /y\r\nContent-Length: 0\r\n") + Ok("forged"))};
       },
       Body("ok"), 2},
      {"a huge redirect page is not read to its end",
       [moved](const std::string&, int i) {
         if (i > 0) return Answer(Ok("ok"));
         return Script{Send(Head(moved, "Location: /y\r\nContent-Length: 536870912\r\n")),
                       Send(std::string(1 << 16, 'r'), 8192), Close()};
       },
       Body("ok"), 2},
  };
  for (const Redirect& c : cases) {
    Peer peer(c.scripter);
    Result r = Exchange(peer, c.client);
    EXPECT_EQ(r.outcome.error, c.expect.error) << c.name << ": " << r.outcome.message;
    EXPECT_EQ(r.outcome.body, c.expect.body) << c.name;
    EXPECT_NE(r.outcome.message.find(c.expect.message), std::string::npos) << c.name << ": " << r.outcome.message;
    ASSERT_EQ(static_cast<int>(r.requests.size()), c.requests) << c.name;
    EXPECT_EQ(r.requests.back().substr(0, c.lastRequestStart.size()), c.lastRequestStart) << c.name;
    if (c.expect.error == kRefused) {
      EXPECT_EQ(r.errorBody.substr(0, 4), c.requests > 1 ? "loop" : "page") << c.name;
    }
  }
}

TEST(HostilePeer, UnansweredChallengesAreRefusals) {
  const std::string challenge = Head("401 Unauthorized", "WWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 6\r\n") +
                                "login!";
  Client withCredentials;
  withCredentials.userInfo = "ann:secret@";
  Client answeringInProcess = withCredentials;
  answeringInProcess.inProcessAuth = true;
  struct Challenge {
    const char* name;
    Script script;
    Client client;
    int32_t code;
    int requests;
  } cases[] = {
      {"no credentials", {Send(challenge)}, kPost, 401, 1},
      {"credentials in the URL, not answered in process", {Send(challenge)}, withCredentials, 401, 1},
      {"credentials the server keeps refusing", {Send(challenge)}, answeringInProcess, 401, 4},
      {"a proxy challenge",
       {Send(Head("407 Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 6\r\n") +
             "login!")},
       kPost, 407, 1},
  };
  for (const Challenge& c : cases) {
    Peer peer(c.script);
    Result r = Exchange(peer, c.client);
    EXPECT_EQ(r.outcome.error, kRefused) << c.name;
    EXPECT_EQ(r.replyCode, c.code) << c.name;
    EXPECT_EQ(r.errorBody, "login!") << c.name;
    EXPECT_EQ(static_cast<int>(r.requests.size()), c.requests) << c.name;
  }
}

TEST(HostilePeer, ErrorBodiesAreKeptUpToOneMebibyte) {
  const std::string block(1 << 16, 'e');
  const std::string chunk = "10000\r\n" + block + "\r\n";
  const std::vector<Case> cases = {
      {"512 MiB by length", {Send(Head("500 Oops", "Content-Length: 536870912\r\n")), Send(block, 8192), Close()},
       Fails(kRefused, "HTTP/1.1 500 Oops")},
      {"512 MiB in chunks", {Send(Head("500 Oops", "Transfer-Encoding: chunked\r\n")), Send(chunk, 8192), Close()},
       Fails(kRefused, "HTTP/1.1 500 Oops")},
      {"512 MiB until close", {Send(Head("500 Oops")), Send(block, 8192), Close()}, Fails(kRefused, "500")},
  };
  for (const Case& c : cases) {
    Result r = Check(c, kPost);
    EXPECT_EQ(r.errorBody.size(), static_cast<std::size_t>(TIdHTTP::MaxErrorBody)) << c.name;
  }
  // A small one is kept whole, and a refusal whose body breaks off keeps what came.
  Result small = Check({"small", Answer(Head("404 Not Found", "Content-Length: 4\r\n") + "gone"), Fails(kRefused)}, kPost);
  EXPECT_EQ(small.errorBody, "gone");
  Result cut = Check({"cut", Answer(Head("404 Not Found", "Content-Length: 9\r\n") + "gone"), Fails(kRefused)}, kPost);
  EXPECT_EQ(cut.errorBody, "gone");
}

TEST(HostilePeer, MalformedCookiesAreDroppedAndTheAnswerStands) {
  std::vector<Case> cases;
  for (const char* cookie :
       {"Set-Cookie2: a=1; Port=\"eighty\"", "Set-Cookie2: a=1; Port=\"80,,81\"", "Set-Cookie2: a=1; Port=\"0\"",
        "Set-Cookie2: a=1; Port=\"70000\"", "Set-Cookie2: a=1; Port=\"80", "Set-Cookie2: a=1; Port=\"\"",
        "Set-Cookie: a=1; Max-Age=99999999999999999999999", "Set-Cookie: a=1; Max-Age=9223372036854775807",
        "Set-Cookie: a=1; Max-Age=-9223372036854775808", "Set-Cookie: a=1; Expires=never"})
    cases.push_back({cookie, Answer(Head("200 OK", std::string(cookie) + "\r\nContent-Length: 2\r\n") + "ok"), Body("ok")});
  CheckAll(cases);
}

TEST(HostilePeer, ReadTimeoutsHold) {
  CheckAll({
      {"a server that never answers", {Hold()}, Fails(kTimeout, "Read Timeout"), kQuick},
      {"a status line later than the time-out", {Pause(600), Send(Ok("late")), Hold()}, Fails(kTimeout), kQuick},
      {"a stall in the head", {Send("HTTP/1.1 200 OK\r\n"), Hold()}, Fails(kTimeout), kQuick},
      {"a stall in a body by length", {Send(Head("200 OK", "Content-Length: 9\r\n") + "1234"), Hold()},
       Fails(kTimeout), kQuick},
      {"a stall in an error body", {Send(Head("500 Oops", "Content-Length: 9\r\n") + "1234"), Hold()},
       Fails(kRefused, "500"), kQuick},
  });
}

// A byte now and then keeps every single wait short; only the deadline of the
// whole exchange ends it.
Script Drip(const std::string& bytes, int pauseMs = 100) {
  Script script;
  for (char c : bytes) {
    script.push_back(Send(std::string(1, c)));
    script.push_back(Pause(pauseMs));
  }
  script.push_back(Hold());
  return script;
}

TEST(HostilePeer, TheDeadlineEndsTheWholeExchange) {
  Client dripped = With(false, false, 3000);
  dripped.deadline = 700;
  Client silent = With(true, false, -1);
  silent.deadline = 500;
  Client following = With(true, true, 3000);
  following.deadline = 900;
  CheckAll({
      {"a dripping head", Drip(Head("200 OK", "X-Pad: " + std::string(100, 'a') + "\r\n")),
       Fails(kDeadline, "within 0.700 s"), dripped},
      {"a dripping body", Drip(Head("200 OK", "Content-Length: 200\r\n") + std::string(200, 'b')), Fails(kDeadline),
       dripped},
      {"a dripping chunked body", Drip(Chunked(std::string(60, '1') + "\r\n")), Fails(kDeadline), dripped},
      {"silence with no read time-out", {Hold()}, Fails(kDeadline, "within 0.500 s"), silent},
      {"redirects that take their time",
       {Pause(400), Send(Head("302 Found", "Location: /y\r\nContent-Length: 0\r\n"))},
       Fails(kDeadline),
       following},
      {"an answer within the deadline", {Pause(100), Send(Ok("in time")), Close()}, Body("in time"), dripped},
  });
}

TEST(HostilePeer, TheDeadlineEndsASendThatThePeerDoesNotRead) {
  // Never reads, so the body fills the socket's buffers and the send waits for room.
  testpeer::ScriptedPeer deaf([](int) { testpeer::Pause(3000); });
  TIdHTTP http;
  http.SetDeadline(TIdDeadline::After(500));
  TStringStream body(std::string(64 << 20, 'x'));
  TStringStream out;
  try {
    http.PostStream("http://127.0.0.1:" + std::to_string(deaf.Port()) + "/x", &body, &out);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), kDeadline) << e.Message();
  }
}

TEST(HostilePeer, RedirectPagesAreDiscardedWithinTheCallersTimeout) {
  // The page takes a second to complete; with a 300 ms read time-out the
  // client gives up on it and follows on a new connection instead of waiting.
  Peer peer([](const std::string&, int i) {
    if (i > 0) return Answer(Ok("ok"));
    return Script{Send(Head("301 Moved", "Location: /y\r\nContent-Length: 8\r\n") + "page"), Pause(1000), Send("done")};
  });
  Result r = Exchange(peer, With(true, true, 300));
  EXPECT_EQ(r.outcome.body, "ok") << r.outcome.message;
  EXPECT_EQ(r.connections, 2);
}

TEST(HostilePeer, SocksServerThatNeverAnswersIsGivenUpAfterTheConnectTimeout) {
  testpeer::ScriptedPeer silent([](int fd) { testpeer::RecvUntilClosed(fd, 10000); });
  TIdSocksInfo socks;
  socks.Host = "127.0.0.1";
  socks.Port = silent.Port();
  socks.Version = svSocks5;
  auto handler = std::make_unique<TIdIOHandlerStack>();
  handler->SetTransparentProxy(&socks);
  TIdHTTP http;
  http.SetIOHandler(std::move(handler));
  http.SetConnectTimeout(300);
  http.SetReadTimeout(5000);  // longer than the connect time-out: the connect's limit must be the one that ends it
  try {
    http.PostFormText("http://example.invalid/x", nullptr);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "EIdConnectTimeout");
    EXPECT_EQ(e.Message(), "Connect timed out.");
  }
}
