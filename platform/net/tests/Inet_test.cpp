// The HTTP layer against real servers on 127.0.0.1: the in-process HTTP(S)
// server for well-formed exchanges and the raw fault server for broken ones.
#include "platform/net/Inet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/DateTime.h"
#include "platform/core/Errors.h"
#include "testing/FaultServer.h"
#include "testing/HttpTestServer.h"
#include "testing/Sandbox.h"

namespace tarvo::platform {
namespace {

using tarvo::testing::FaultServer;
using tarvo::testing::HttpReply;
using tarvo::testing::HttpTestServer;
using Clock = std::chrono::steady_clock;

std::string RandomBytes(std::size_t n, unsigned seed = 1) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

class InetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fInet = InternetOpen("tarvo-test", INTERNET_OPEN_TYPE_PRECONFIG, {}, {}, 0);
    ASSERT_TRUE(fInet);
  }
  void TearDown() override {
    for (HINTERNET h : fHandles) InternetCloseHandle(h);
    InternetCloseHandle(fInet);
    InternetClearHostMappings();
    SetInternetErrorDialogHook({});
    SetInternetGoOnlineHook({});
    const std::uint32_t online = INTERNET_STATE_CONNECTED;
    InternetSetOption(nullptr, INTERNET_OPTION_CONNECTED_STATE, &online, sizeof online);
  }

  HINTERNET Keep(HINTERNET h) {
    if (h) fHandles.push_back(h);
    return h;
  }
  HINTERNET Connect(std::uint16_t port, std::string_view host = "127.0.0.1") {
    return Keep(InternetConnect(fInet, host, port, {}, {}, INTERNET_SERVICE_HTTP, 0, 0));
  }
  HINTERNET Request(std::uint16_t port, std::string_view object, std::uint32_t flags = 0,
                    std::string_view verb = "GET", std::string_view host = "127.0.0.1") {
    HINTERNET c = Connect(port, host);
    if (!c) return nullptr;
    return Keep(HttpOpenRequest(c, verb, object, "HTTP/1.1", {}, nullptr, flags, 0));
  }

  // Sends and reads the whole body; on failure returns false with the code.
  static bool Fetch(HINTERNET r, std::string& body, std::uint32_t& error, std::size_t piece = 4096,
                    std::string_view data = {}) {
    body.clear();
    error = 0;
    if (!HttpSendRequest(r, {}, data.data(), data.size())) {
      error = GetLastError();
      return false;
    }
    return ReadAll(r, body, error, piece);
  }
  static bool ReadAll(HINTERNET r, std::string& body, std::uint32_t& error,
                      std::size_t piece = 4096) {
    std::vector<char> buf(piece);
    for (;;) {
      std::uint32_t n = 0;
      if (!InternetReadFile(r, buf.data(), static_cast<std::uint32_t>(buf.size()), n)) {
        error = GetLastError();
        return false;
      }
      if (n == 0) return true;
      body.append(buf.data(), n);
    }
  }
  // The item as text, or "<error N>".
  static std::string Query(HINTERNET r, std::uint32_t level, std::uint32_t* index = nullptr,
                           std::string_view custom = {}) {
    std::string buf(64 * 1024, '\0');
    buf.replace(0, custom.size(), custom);
    std::uint32_t length = static_cast<std::uint32_t>(buf.size());
    if (!HttpQueryInfo(r, level, buf.data(), length, index))
      return "<error " + std::to_string(GetLastError()) + ">";
    buf.resize(length);
    return buf;
  }
  static std::uint32_t SecurityFlags(HINTERNET r) {
    std::uint32_t flags = 0, length = sizeof flags;
    EXPECT_TRUE(InternetQueryOption(r, INTERNET_OPTION_SECURITY_FLAGS, &flags, length));
    return flags;
  }
  static void SetU32(HINTERNET h, std::uint32_t option, std::uint32_t value) {
    ASSERT_TRUE(InternetSetOption(h, option, &value, sizeof value)) << GetLastError();
  }

  tarvo::testing::ProxyEnvironmentCleared fNoProxy;
  HINTERNET fInet = nullptr;
  std::vector<HINTERNET> fHandles;
};

// --- bodies ---------------------------------------------------------------------------------

TEST_F(InetTest, BodiesArriveWholeWithALengthOrChunked) {
  HttpTestServer server;
  const std::string body = RandomBytes(1 << 20);
  for (const bool chunked : {false, true}) {
    HttpReply reply;
    reply.SetBody(body);
    reply.chunked = chunked;
    reply.blockSize = 7000;
    server.On(chunked ? "/chunked" : "/length", reply);
  }
  for (const char* path : {"/length", "/chunked"}) {
    HINTERNET r = Request(server.Port(), path);
    ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0)) << GetLastError();
    std::uint32_t available = 0;
    ASSERT_TRUE(InternetQueryDataAvailable(r, available));
    EXPECT_GT(available, 0u);
    EXPECT_LE(available, 256u * 1024u);
    std::string got;
    std::uint32_t error = 0;
    ASSERT_TRUE(ReadAll(r, got, error, 1000)) << error;
    EXPECT_EQ(got.size(), body.size()) << path;
    EXPECT_TRUE(got == body) << path;
    // After the end, reads keep answering "end".
    char c;
    std::uint32_t n = 7;
    EXPECT_TRUE(InternetReadFile(r, &c, 1, n));
    EXPECT_EQ(n, 0u);
  }
}

TEST_F(InetTest, BodyIsPulledAsItIsReadAndClosingStopsTheTransfer) {
  HttpTestServer server;
  const std::size_t total = 256u << 20;
  HttpReply reply;
  reply.SetBody(std::string(total, 'x'));
  reply.blockSize = 64 * 1024;
  server.On("/big", reply);
  HINTERNET r = Request(server.Port(), "/big");
  ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0));
  char buf[8192];
  std::uint32_t n = 0;
  ASSERT_TRUE(InternetReadFile(r, buf, sizeof buf, n));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // The read-ahead and the sockets' buffers hold a few megabytes at most;
  // a layer that buffered the body whole would have taken it all.
  EXPECT_LT(server.BodyBytesSent(), total / 4);
  InternetCloseHandle(r);
  fHandles.erase(std::find(fHandles.begin(), fHandles.end(), r));
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (server.AbortedBodies() == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.AbortedBodies(), 1u);
  EXPECT_LT(server.BodyBytesSent(), total / 4);
}

TEST_F(InetTest, RequestBodiesAndMethods) {
  HttpTestServer server;
  server.On("/echo",
            tarvo::testing::HttpTestServer::Handler([](const tarvo::testing::RecordedRequest& req) {
              return HttpReply(req.method + ":" + std::to_string(req.body.size()));
            }));
  const std::string binary = RandomBytes(100000, 7) + std::string(3, '\0');
  struct Case {
    const char* verb;
    std::string data;
    const char* answer;
  };
  const Case cases[] = {{"POST", binary, "POST:100003"},
                        {"PUT", "abc", "PUT:3"},
                        {"POST", "", "POST:0"},
                        {"DELETE", "", "DELETE:0"},
                        {"GET", "", "GET:0"}};
  for (const Case& c : cases) {
    HINTERNET r = Request(server.Port(), "/echo", 0, c.verb);
    std::string got;
    std::uint32_t error = 0;
    ASSERT_TRUE(Fetch(r, got, error, 4096, c.data)) << c.verb << " " << error;
    EXPECT_EQ(got, c.answer);
  }
  const auto requests = server.Requests();
  EXPECT_TRUE(requests[0].body == binary);
  EXPECT_EQ(requests[0].Header("Content-Length"), "100003");
  // No form content type is made up, and nothing waits for "100 Continue".
  EXPECT_EQ(requests[0].HeaderCount("Content-Type"), 0u);
  EXPECT_EQ(requests[0].HeaderCount("Expect"), 0u);
  EXPECT_EQ(requests[2].Header("Content-Length"), "0");

  // A caller's Content-Length must agree with the body.
  HINTERNET r = Request(server.Port(), "/echo", 0, "POST");
  ASSERT_TRUE(HttpAddRequestHeaders(r, "Content-Length: 5", HTTP_ADDREQ_FLAG_ADD));
  EXPECT_FALSE(HttpSendRequest(r, {}, "abc", 3));
  EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_HEADER);
  ASSERT_TRUE(HttpAddRequestHeaders(r, "Content-Length: 3", HTTP_ADDREQ_FLAG_REPLACE));
  ASSERT_TRUE(HttpSendRequest(r, {}, "abc", 3)) << GetLastError();
  EXPECT_EQ(server.Requests().back().Header("Content-Length"), "3");
}

TEST_F(InetTest, SendingAgainDropsThePreviousAnswer) {
  HttpTestServer server;
  std::atomic<int> count{0};
  server.On("/n", HttpTestServer::Handler([&](const tarvo::testing::RecordedRequest&) {
              return HttpReply(std::to_string(++count) + std::string(100000, '.'));
            }));
  HINTERNET r = Request(server.Port(), "/n");
  ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0));
  char buf[10];
  std::uint32_t n = 0;
  ASSERT_TRUE(InternetReadFile(r, buf, 1, n));
  EXPECT_EQ(buf[0], '1');
  std::string body;
  std::uint32_t error = 0;
  ASSERT_TRUE(Fetch(r, body, error)) << error;
  EXPECT_EQ(body.substr(0, 1), "2");
  EXPECT_EQ(body.size(), 100001u);
}

// --- headers --------------------------------------------------------------------------------

TEST_F(InetTest, RequestHeadersAreAddedReplacedAndMerged) {
  HttpTestServer server;
  server.On("/h", HttpReply("ok"));
  HINTERNET r = Request(server.Port(), "/h", INTERNET_FLAG_PRAGMA_NOCACHE);
  struct Step {
    const char* lines;
    std::uint32_t modifiers;
    std::uint32_t error;
  };
  const Step steps[] = {
      {"X-A: 1", HTTP_ADDREQ_FLAG_ADD, 0},
      {"X-A: 2", HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA, 0},
      {"X-B: 1\r\nX-C: 1", HTTP_ADDREQ_FLAG_ADD, 0},
      {"X-B: 2", HTTP_ADDREQ_FLAG_REPLACE, 0},
      {"X-C: 2", HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON, 0},
      {"X-D: 1", HTTP_ADDREQ_FLAG_REPLACE, ERROR_HTTP_HEADER_NOT_FOUND},
      {"X-D: 1", HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA, ERROR_HTTP_HEADER_NOT_FOUND},
      {"X-A: 9", HTTP_ADDREQ_FLAG_ADD_IF_NEW, ERROR_HTTP_HEADER_ALREADY_EXISTS},
      {"X-E: gone", HTTP_ADDREQ_FLAG_ADD, 0},
      {"X-E:", HTTP_ADDREQ_FLAG_REPLACE, 0},  // an empty value removes the header
      {"X-Twice: 1", 0, 0},
      {"X-Twice: 2", 0, 0},
      // Refused lines change nothing, not even the valid lines before them.
      {"X-F: 1\r\nno colon here", HTTP_ADDREQ_FLAG_ADD, ERROR_HTTP_INVALID_HEADER},
      {"Bad Name: 1", HTTP_ADDREQ_FLAG_ADD, ERROR_HTTP_INVALID_HEADER},
      {"Transfer-Encoding: chunked", HTTP_ADDREQ_FLAG_ADD, ERROR_HTTP_INVALID_HEADER},
  };
  for (const Step& s : steps) {
    SetLastError(0);
    EXPECT_EQ(HttpAddRequestHeaders(r, s.lines, s.modifiers), s.error == 0) << s.lines;
    if (s.error) {
      EXPECT_EQ(GetLastError(), s.error) << s.lines;
    }
  }
  // Extra headers of a send count for that send only.
  ASSERT_TRUE(HttpSendRequest(r, "X-Once: 1\r\nX-A: replaced", nullptr, 0)) << GetLastError();
  const auto req = server.Requests().back();
  EXPECT_EQ(req.Header("X-A"), "replaced");
  EXPECT_EQ(req.Header("X-B"), "2");
  EXPECT_EQ(req.Header("X-C"), "1; 2");
  EXPECT_EQ(req.HeaderCount("X-E"), 0u);
  EXPECT_EQ(req.HeaderCount("X-F"), 0u);
  EXPECT_EQ(req.HeaderCount("X-Twice"), 2u);
  EXPECT_EQ(req.Header("X-Once"), "1");
  EXPECT_EQ(req.Header("Pragma"), "no-cache");
  EXPECT_EQ(req.Header("Cache-Control"), "no-cache");
  EXPECT_EQ(req.Header("User-Agent"), "tarvo-test");
  EXPECT_EQ(req.HeaderCount("Accept"), 0u);
  ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0));
  EXPECT_EQ(server.Requests().back().HeaderCount("X-Once"), 0u);
  EXPECT_EQ(server.Requests().back().Header("X-A"), "1, 2");
  // The request headers as sent.
  const std::string sent = Query(r, HTTP_QUERY_RAW_HEADERS_CRLF | HTTP_QUERY_FLAG_REQUEST_HEADERS);
  EXPECT_EQ(sent.rfind("GET /h HTTP/1.1\r\n", 0), 0u) << sent;
  EXPECT_NE(sent.find("\r\nX-A: 1, 2\r\n"), std::string::npos) << sent;
  EXPECT_EQ(sent.substr(sent.size() - 4), "\r\n\r\n");
  EXPECT_EQ(Query(r, HTTP_QUERY_REQUEST_METHOD | HTTP_QUERY_FLAG_REQUEST_HEADERS), "GET");
  EXPECT_EQ(Query(r, HTTP_QUERY_HOST | HTTP_QUERY_FLAG_REQUEST_HEADERS),
            "127.0.0.1:" + std::to_string(server.Port()));
}

TEST_F(InetTest, OpenRequestParametersReachTheServer) {
  HttpTestServer server;
  server.On("/p", HttpReply("ok"));
  HINTERNET c = Keep(
      InternetConnect(fInet, "127.0.0.1", server.Port(), "u", "p", INTERNET_SERVICE_HTTP, 0, 0));
  const char* const accept[] = {"text/xml", "application/json", nullptr};
  HINTERNET r = Keep(HttpOpenRequest(c, "GET", "p", {}, "http://from.example/", accept, 0, 0));
  ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0)) << GetLastError();
  const auto req = server.Requests().back();
  EXPECT_EQ(req.target, "/p");
  EXPECT_EQ(req.Header("Accept"), "text/xml, application/json");
  EXPECT_EQ(req.Header("Referer"), "http://from.example/");
  EXPECT_EQ(req.Header("Authorization"), "Basic dTpw");
  EXPECT_FALSE(HttpOpenRequest(c, "GET", "/", "HTTP/2", {}, nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(InetTest, RequestTargetsAreEncodedOnTheWire) {
  HttpTestServer server;
  server.On("/p a", HttpReply("ok"));
  HINTERNET r = Request(server.Port(), "/p a?x=\xC3\xA4&y=%41&z=100%");
  ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0)) << GetLastError();
  EXPECT_EQ(server.Requests().back().target, "/p%20a?x=%C3%A4&y=%41&z=100%25");
  EXPECT_EQ(Query(r, HTTP_QUERY_STATUS_CODE), "200");
}

TEST_F(InetTest, AnswerItemsByLevelNameIndexAndForm) {
  HttpTestServer server;
  HttpReply reply("twelve bytes");
  reply.headers = {{"Date", "Sun, 06 Nov 1994 08:49:37 GMT"},
                   {"Last-Modified", "Sunday, 06-Nov-94 08:49:37 GMT"},
                   {"ETag", "\"v1\""},
                   {"Set-Cookie", "a=1"},
                   {"Set-Cookie", "b=2"},
                   {"X-Number", "4294967295"},
                   {"X-Too-Big", "4294967296"},
                   {"X-Text", "12a"},
                   {"X-Long", std::string(10000, 'L')}};
  server.On("/q", reply);
  HINTERNET r = Request(server.Port(), "/q");
  EXPECT_EQ(Query(r, HTTP_QUERY_STATUS_CODE), "<error 12019>");  // nothing sent yet
  ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0));

  EXPECT_EQ(Query(r, HTTP_QUERY_STATUS_CODE), "200");
  EXPECT_EQ(Query(r, HTTP_QUERY_STATUS_TEXT), "OK");
  EXPECT_EQ(Query(r, HTTP_QUERY_VERSION), "HTTP/1.1");
  EXPECT_EQ(Query(r, HTTP_QUERY_ETAG), "\"v1\"");
  EXPECT_EQ(Query(r, HTTP_QUERY_CONTENT_LENGTH), "12");
  EXPECT_EQ(Query(r, HTTP_QUERY_CUSTOM, nullptr, "x-text"), "12a");
  EXPECT_EQ(Query(r, HTTP_QUERY_CUSTOM, nullptr, "X-Missing"), "<error 12150>");
  EXPECT_EQ(Query(r, HTTP_QUERY_EXPIRES), "<error 12150>");
  EXPECT_EQ(Query(r, HTTP_QUERY_CUSTOM, nullptr, "X-Long"), std::string(10000, 'L'));
  EXPECT_EQ(Query(r, 9999), "<error 12154>");

  // Occurrences, with the index advancing.
  std::uint32_t index = 0;
  EXPECT_EQ(Query(r, HTTP_QUERY_SET_COOKIE, &index), "a=1");
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(Query(r, HTTP_QUERY_SET_COOKIE, &index), "b=2");
  EXPECT_EQ(Query(r, HTTP_QUERY_SET_COOKIE, &index), "<error 12150>");
  EXPECT_EQ(index, 2u);

  // Too small a buffer tells the size needed, terminator included.
  char small[4];
  std::uint32_t length = sizeof small;
  EXPECT_FALSE(HttpQueryInfo(r, HTTP_QUERY_ETAG, small, length, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 5u);

  // Numbers.
  std::uint32_t number = 0;
  length = sizeof number;
  ASSERT_TRUE(
      HttpQueryInfo(r, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &number, length, nullptr));
  EXPECT_EQ(number, 200u);
  std::string big = "X-Number";
  big.resize(64);
  length = 64;
  ASSERT_TRUE(
      HttpQueryInfo(r, HTTP_QUERY_CUSTOM | HTTP_QUERY_FLAG_NUMBER, big.data(), length, nullptr));
  std::memcpy(&number, big.data(), 4);
  EXPECT_EQ(number, 4294967295u);
  for (const char* name : {"X-Too-Big", "X-Text"}) {
    std::string buf(name);
    buf.resize(64);
    length = 64;
    EXPECT_FALSE(
        HttpQueryInfo(r, HTTP_QUERY_CUSTOM | HTTP_QUERY_FLAG_NUMBER, buf.data(), length, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_HEADER) << name;
  }

  // Dates.
  for (std::uint32_t level : {HTTP_QUERY_DATE, HTTP_QUERY_LAST_MODIFIED}) {
    CivilTime t;
    length = sizeof t;
    ASSERT_TRUE(HttpQueryInfo(r, level | HTTP_QUERY_FLAG_SYSTEMTIME, &t, length, nullptr));
    EXPECT_EQ(EncodeDateTime(t), EncodeDateTime({1994, 11, 6, 8, 49, 37, 0}));
  }
  CivilTime t;
  length = sizeof t;
  EXPECT_FALSE(HttpQueryInfo(r, HTTP_QUERY_ETAG | HTTP_QUERY_FLAG_SYSTEMTIME, &t, length, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_HEADER);

  // Raw forms.
  const std::string crlf = Query(r, HTTP_QUERY_RAW_HEADERS_CRLF);
  EXPECT_EQ(crlf.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(crlf.find("\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\n"), std::string::npos);
  EXPECT_GT(crlf.size(), 10000u);
  EXPECT_EQ(crlf.substr(crlf.size() - 4), "\r\n\r\n");
  const std::string nul = Query(r, HTTP_QUERY_RAW_HEADERS);
  EXPECT_EQ(nul.rfind(std::string("HTTP/1.1 200 OK\0", 16), 0), 0u);
  EXPECT_EQ(nul.substr(nul.size() - 2), std::string(2, '\0'));
}

// --- decoding -------------------------------------------------------------------------------

TEST_F(InetTest, CompressedBodiesAreDecodedWhenAskedAndBrokenOnesFail) {
  HttpTestServer server;
  const std::string text =
      "The quick brown fox. " + RandomBytes(30000, 3) + std::string(50000, 'z');
  const std::string gz = tarvo::testing::GzipBytes(text);
  struct Case {
    const char* path;
    std::string bytes;
    const char* encoding;
    bool decoding;
    std::string body;  // what is read
    std::uint32_t error;
  };
  std::string corrupt = gz;
  corrupt[corrupt.size() / 2] ^= 0x55;
  corrupt[corrupt.size() / 2 + 1] ^= 0x55;
  const Case cases[] = {
      {"/gzip", gz, "gzip", true, text, 0},
      {"/gzip-raw", gz, "gzip", false, gz, 0},
      {"/zlib", tarvo::testing::DeflateBytes(text, true), "deflate", true, text, 0},
      {"/deflate", tarvo::testing::DeflateBytes(text, false), "deflate", true, text, 0},
      {"/members", tarvo::testing::GzipBytes("one,") + tarvo::testing::GzipBytes("two"), "gzip",
       true, "one,two", 0},
      {"/br", "not decoded", "br", true, "not decoded", 0},
      {"/cut", gz.substr(0, gz.size() / 2), "gzip", true, "", ERROR_INTERNET_DECODING_FAILED},
      {"/no-trailer", gz.substr(0, gz.size() - 4), "gzip", true, "",
       ERROR_INTERNET_DECODING_FAILED},
      {"/corrupt", corrupt, "gzip", true, "", ERROR_INTERNET_DECODING_FAILED},
      {"/garbage-after", tarvo::testing::DeflateBytes("x", true) + "junk", "deflate", true, "",
       ERROR_INTERNET_DECODING_FAILED},
      {"/empty", "", "gzip", true, "", 0},
  };
  for (const Case& c : cases) {
    HttpReply reply;
    reply.SetBody(c.bytes);
    reply.contentType = "text/plain";  // a type servers like to compress
    reply.headers = {{"Content-Encoding", c.encoding}};
    server.On(c.path, reply);
  }
  for (const Case& c : cases) {
    HINTERNET r = Request(server.Port(), c.path);
    SetU32(r, INTERNET_OPTION_HTTP_DECODING, c.decoding ? 1 : 0);
    std::string body;
    std::uint32_t error = 0;
    const bool ok = Fetch(r, body, error, 3000);
    EXPECT_EQ(ok, c.error == 0) << c.path << " " << error;
    EXPECT_EQ(error, c.error) << c.path;
    if (c.error == 0) {
      EXPECT_TRUE(body == c.body) << c.path << " size " << body.size();
    }
    if (c.decoding) {
      EXPECT_EQ(server.Requests().back().Header("Accept-Encoding"), "gzip, deflate") << c.path;
    }
    // The failure stays: reading again reports it again.
    if (c.error) {
      char buf[16];
      std::uint32_t n = 0;
      EXPECT_FALSE(InternetReadFile(r, buf, sizeof buf, n));
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
}

// --- broken servers ---------------------------------------------------------------------------

TEST_F(InetTest, BrokenAnswersAreClearErrors) {
  struct Case {
    const char* what;
    FaultServer::Script script;
    std::uint32_t sendError;  // 0: the send succeeds
    std::uint32_t readError;  // when the send succeeds: 0 = the body reads whole
    std::size_t bodyBefore;   // bytes read before the read error
  };
  const FaultServer::Script many = FaultServer::Answer(FaultServer::ManyHeaderLines(40 * 8000));
  const Case cases[] = {
      {"garbage status line", FaultServer::GarbageStatusLine(), ERROR_HTTP_INVALID_SERVER_RESPONSE,
       0, 0},
      {"reset inside the headers", FaultServer::ResetAfter(20), ERROR_INTERNET_CONNECTION_ABORTED,
       0, 0},
      {"reset inside the body", FaultServer::ResetAfter(67 + 100), 0,
       ERROR_INTERNET_CONNECTION_ABORTED, 0},
      {"body shorter than its length", FaultServer::ShortBody(), 0,
       ERROR_INTERNET_CONNECTION_ABORTED, 10},
      {"header block over 8 KiB", FaultServer::HugeHeaderBlock(20000), 0, 0, 2},
      {"header block over 256 KiB", many, ERROR_HTTP_INVALID_SERVER_RESPONSE, 0, 0},
      {"nothing at all", FaultServer::Script{}, ERROR_HTTP_INVALID_SERVER_RESPONSE, 0, 0},
  };
  for (const Case& c : cases) {
    FaultServer server(c.script);
    HINTERNET r = Request(server.Port(), "/x");
    const bool sent = HttpSendRequest(r, {}, nullptr, 0);
    const std::uint32_t sendError = sent ? 0 : GetLastError();
    EXPECT_EQ(sendError, c.sendError) << c.what;
    if (!sent) continue;
    std::string body;
    std::uint32_t error = 0;
    EXPECT_EQ(ReadAll(r, body, error), c.readError == 0) << c.what;
    EXPECT_EQ(error, c.readError) << c.what;
    if (c.readError == 0 || c.bodyBefore) {
      EXPECT_EQ(body.size(), c.bodyBefore) << c.what;
    }
  }
  // The big header line reads back whole.
  FaultServer server(FaultServer::HugeHeaderBlock(20000));
  HINTERNET r = Request(server.Port(), "/x");
  ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0));
  EXPECT_EQ(Query(r, HTTP_QUERY_CUSTOM, nullptr, "X-Big"), std::string(20000, 'h'));

  // The 256 KiB count over every head of the transfer: a redirect of 136 KiB
  // is followed, but its target's head of as much again ends the transfer.
  const std::string half = FaultServer::ManyHeaderLines(136 * 1024);
  FaultServer target(FaultServer::Answer(half));
  FaultServer redirect(FaultServer::Answer(half, target.Url("/final")));
  HINTERNET alone = Request(target.Port(), "/x");
  ASSERT_TRUE(HttpSendRequest(alone, {}, nullptr, 0)) << GetLastError();
  HINTERNET both = Request(redirect.Port(), "/x");
  EXPECT_FALSE(HttpSendRequest(both, {}, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_SERVER_RESPONSE);
  EXPECT_EQ(target.Connections(), 2u) << "the redirect was followed before the cap bit";
}

TEST_F(InetTest, HeaderNamesAreTakenWithoutBlanksAndRawLinesAsReceived) {
  FaultServer server(FaultServer::Answer("Name : spaced\r\n: nameless\r\nX-Plain:plain\r\n"));
  HINTERNET r = Request(server.Port(), "/x");
  ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0)) << GetLastError();
  EXPECT_EQ(Query(r, HTTP_QUERY_CUSTOM, nullptr, "Name"), "spaced");
  EXPECT_EQ(Query(r, HTTP_QUERY_CUSTOM, nullptr, "X-Plain"), "plain");
  // The raw forms give every line as the server sent it.
  EXPECT_EQ(Query(r, HTTP_QUERY_RAW_HEADERS_CRLF),
            "HTTP/1.1 200 OK\r\nName : spaced\r\n: nameless\r\nX-Plain:plain\r\n"
            "Content-Length: 2\r\n\r\n");
}

TEST_F(InetTest, StalledServersTimeOut) {
  FaultServer stall(FaultServer::StallBeforeHeaders(std::chrono::seconds(20)));
  HINTERNET r = Request(stall.Port(), "/x");
  SetU32(r, INTERNET_OPTION_RECEIVE_TIMEOUT, 300);
  const auto start = Clock::now();
  EXPECT_FALSE(HttpSendRequest(r, {}, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

  // A body that stops coming times the read out.
  HttpTestServer server;
  HttpReply slow;
  slow.SetBody(std::string(3000, 's'));
  slow.blockSize = 1000;
  slow.delayPerBlock = std::chrono::seconds(5);
  server.On("/slow", slow);
  HINTERNET r2 = Request(server.Port(), "/slow");
  SetU32(r2, INTERNET_OPTION_RECEIVE_TIMEOUT, 300);
  ASSERT_TRUE(HttpSendRequest(r2, {}, nullptr, 0));
  std::string body;
  std::uint32_t error = 0;
  EXPECT_FALSE(ReadAll(r2, body, error));
  EXPECT_EQ(error, ERROR_INTERNET_TIMEOUT);
  EXPECT_EQ(body.size(), 1000u);
}

TEST_F(InetTest, ClosingTheHandleOnAnotherThreadEndsAStalledTransferAtOnce) {
  // A worker blocked on a stalled server must stop when its owner closes the
  // request, not when the receive time-out finally runs out.
  FaultServer stallHeaders(FaultServer::StallBeforeHeaders(std::chrono::seconds(20)));
  HttpTestServer server;
  HttpReply slow;
  slow.SetBody(std::string(3000, 's'));
  slow.blockSize = 1000;
  slow.delayPerBlock = std::chrono::seconds(20);
  server.On("/slow", slow);

  struct Case {
    const char* name;
    std::uint16_t port;
    const char* path;
    bool inBody;
  } cases[] = {
      {"before the headers", stallHeaders.Port(), "/x", false},
      {"inside the body", server.Port(), "/slow", true},
  };
  for (const Case& c : cases) {
    HINTERNET r = Request(c.port, c.path);
    SetU32(r, INTERNET_OPTION_RECEIVE_TIMEOUT, 20000);
    if (c.inBody) {
      ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0)) << c.name;
    }
    const auto start = Clock::now();
    std::thread closer([r] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      InternetCloseHandle(r);
    });
    std::string body;
    std::uint32_t error = 0;
    const bool ok = c.inBody ? ReadAll(r, body, error) : HttpSendRequest(r, {}, nullptr, 0);
    if (!c.inBody) error = GetLastError();
    closer.join();
    EXPECT_FALSE(ok) << c.name;
    EXPECT_EQ(error, ERROR_INTERNET_OPERATION_CANCELLED) << c.name;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << c.name;
  }
}

TEST_F(InetTest, ClosedPortCannotConnect) {
  std::uint16_t port = 0;
  {
    FaultServer gone(FaultServer::Script{});
    port = gone.Port();
  }
  HINTERNET r = Request(port, "/x");
  EXPECT_FALSE(HttpSendRequest(r, {}, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
}

// --- TLS ----------------------------------------------------------------------------------------

HttpTestServer::Options Tls(const char* cert, bool askClient = false, bool keepAlive = false) {
  HttpTestServer::Options o;
  o.tls = true;
  o.certFile = tarvo::testing::CertPath(cert);
  o.requestClientCert = askClient;
  o.keepAlive = keepAlive;
  return o;
}

TEST_F(InetTest, TlsToTheTestAuthorityAndUnderAMappedHostName) {
  HttpTestServer server(Tls("server.pem"));
  server.On("/s", HttpReply("secure"));
  {
    // Without the test authority, its certificates are not trusted.
    HINTERNET r = Request(server.Port(), "/s", INTERNET_FLAG_SECURE);
    EXPECT_FALSE(HttpSendRequest(r, {}, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_CA);
  }
  tarvo::testing::TrustTestAuthority trust;
  HINTERNET r = Request(server.Port(), "/s", INTERNET_FLAG_SECURE);
  std::string body;
  std::uint32_t error = 0;
  ASSERT_TRUE(Fetch(r, body, error)) << error;
  EXPECT_EQ(body, "secure");
  EXPECT_EQ(SecurityFlags(r) & SECURITY_FLAG_SECURE, SECURITY_FLAG_SECURE);

  InternetMapHostToLoopback("secure.tarvo.example", 443, server.Port());
  HINTERNET mapped = Request(0, "/s", INTERNET_FLAG_SECURE, "GET", "secure.tarvo.example");
  ASSERT_TRUE(Fetch(mapped, body, error)) << error;
  EXPECT_EQ(body, "secure");
  EXPECT_EQ(server.Requests().back().Header("Host"), "secure.tarvo.example");
}

struct Fault {
  const char* name;
  const char* cert;
  bool askClient;
  bool crl;
  std::uint32_t error;
  std::uint32_t relaxBit;  // the flag that accepts it; 0: the client certificate option
};

const Fault kFaults[] = {
    {"expired", "expired.pem", false, false, ERROR_INTERNET_SEC_CERT_DATE_INVALID,
     SECURITY_FLAG_IGNORE_CERT_DATE_INVALID},
    {"wrong name", "wrongname.pem", false, false, ERROR_INTERNET_SEC_CERT_CN_INVALID,
     SECURITY_FLAG_IGNORE_CERT_CN_INVALID},
    {"self-signed", "selfsigned.pem", false, false, ERROR_INTERNET_INVALID_CA,
     SECURITY_FLAG_IGNORE_UNKNOWN_CA},
    {"revoked", "revoked.pem", false, true, ERROR_INTERNET_SEC_CERT_REVOKED,
     SECURITY_FLAG_IGNORE_REVOCATION},
    {"client certificate asked for", "server.pem", true, false,
     ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, 0},
};

TEST_F(InetTest, EachIgnoreFlagAcceptsOnlyItsOwnCertificateFault) {
  const std::uint32_t relaxations[] = {
      SECURITY_FLAG_IGNORE_CERT_DATE_INVALID, SECURITY_FLAG_IGNORE_CERT_CN_INVALID,
      SECURITY_FLAG_IGNORE_UNKNOWN_CA, SECURITY_FLAG_IGNORE_REVOCATION, 0 /* client cert */};
  for (const Fault& f : kFaults) {
    HttpTestServer server(Tls(f.cert, f.askClient));
    server.On("/s", HttpReply("secure"));
    tarvo::testing::TrustTestAuthority trust(f.crl);
    // Strict.
    HINTERNET strict = Request(server.Port(), "/s", INTERNET_FLAG_SECURE);
    EXPECT_FALSE(HttpSendRequest(strict, {}, nullptr, 0)) << f.name;
    EXPECT_EQ(GetLastError(), f.error) << f.name;
    for (const std::uint32_t relax : relaxations) {
      HINTERNET r = Request(server.Port(), "/s", INTERNET_FLAG_SECURE);
      if (relax)
        SetU32(r, INTERNET_OPTION_SECURITY_FLAGS, relax);
      else
        ASSERT_TRUE(InternetSetOption(r, INTERNET_OPTION_SECURITY_SELECT_CLIENT_CERT, nullptr, 0));
      const bool accepted = relax == f.relaxBit;
      std::string body;
      std::uint32_t error = 0;
      EXPECT_EQ(Fetch(r, body, error), accepted) << f.name << " with relaxation " << relax;
      if (accepted)
        EXPECT_EQ(body, "secure") << f.name;
      else
        EXPECT_EQ(error, f.error) << f.name << " with relaxation " << relax;
    }
  }
}

TEST_F(InetTest, StrictRequestsNeverReuseRelaxedConnections) {
  tarvo::testing::TrustTestAuthority trust;
  HttpTestServer server(Tls("wrongname.pem", false, /*keepAlive=*/true));
  server.On("/s", HttpReply("secure"));
  HINTERNET relaxed = Request(server.Port(), "/s", INTERNET_FLAG_SECURE);
  SetU32(relaxed, INTERNET_OPTION_SECURITY_FLAGS, SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
  std::string body;
  std::uint32_t error = 0;
  ASSERT_TRUE(Fetch(relaxed, body, error)) << error;
  // The relaxed connection stays open in the pool; a strict request must make
  // its own and meet the name problem again.
  HINTERNET strict = Request(server.Port(), "/s", INTERNET_FLAG_SECURE);
  EXPECT_FALSE(HttpSendRequest(strict, {}, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_SEC_CERT_CN_INVALID);
  // And a second relaxed request still works.
  HINTERNET again = Request(server.Port(), "/s", INTERNET_FLAG_SECURE);
  SetU32(again, INTERNET_OPTION_SECURITY_FLAGS, SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
  EXPECT_TRUE(Fetch(again, body, error)) << error;
}

// --- the error dialogue and going online -------------------------------------------------------

TEST_F(InetTest, ErrorDialogueFailsClosedAndChangesOptionsOnlyWhenAccepted) {
  HttpTestServer server;
  server.On("/ok", HttpReply("ok"));
  server.On("/auth", HttpReply("need", 401));
  HINTERNET r = Request(server.Port(), "/ok");
  const std::uint32_t change = FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS;
  EXPECT_EQ(InternetErrorDlg(0, r, ERROR_INTERNET_INVALID_CA, change), ERROR_CANCELLED);
  EXPECT_EQ(SecurityFlags(r), 0u);

  std::vector<std::uint32_t> asked;
  std::uint32_t answer = ERROR_SUCCESS;
  SetInternetErrorDialogHook(
      [&](WindowHandle owner, HINTERNET, std::uint32_t error, std::uint32_t) {
        EXPECT_EQ(owner, 77u);
        asked.push_back(error);
        return answer;
      });
  const std::pair<std::uint32_t, std::uint32_t> effects[] = {
      {ERROR_INTERNET_SEC_CERT_DATE_INVALID, SECURITY_FLAG_IGNORE_CERT_DATE_INVALID},
      {ERROR_INTERNET_SEC_CERT_CN_INVALID, SECURITY_FLAG_IGNORE_CERT_CN_INVALID},
      {ERROR_INTERNET_INVALID_CA, SECURITY_FLAG_IGNORE_UNKNOWN_CA},
      {ERROR_INTERNET_SEC_CERT_REVOKED, SECURITY_FLAG_IGNORE_REVOCATION},
      {ERROR_INTERNET_SEC_CERT_REV_FAILED, SECURITY_FLAG_IGNORE_REVOCATION},
      {ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR, SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP},
  };
  for (const auto& [error, flag] : effects) {
    HINTERNET q = Request(server.Port(), "/ok");
    answer = ERROR_INTERNET_FORCE_RETRY;  // try again as it is: nothing changes
    EXPECT_EQ(InternetErrorDlg(77, q, error, change), ERROR_INTERNET_FORCE_RETRY);
    EXPECT_EQ(SecurityFlags(q), 0u) << error;
    answer = ERROR_SUCCESS;
    EXPECT_EQ(InternetErrorDlg(77, q, error, 0), ERROR_SUCCESS);
    EXPECT_EQ(SecurityFlags(q), 0u) << error;  // not allowed to change options
    EXPECT_EQ(InternetErrorDlg(77, q, error, change), ERROR_SUCCESS);
    EXPECT_EQ(SecurityFlags(q), flag) << error;
  }
  // Asking about a successful answer: only a challenge calls the dialogue.
  asked.clear();
  ASSERT_TRUE(HttpSendRequest(r, {}, nullptr, 0));
  EXPECT_EQ(InternetErrorDlg(77, r, ERROR_SUCCESS, FLAGS_ERROR_UI_FILTER_FOR_ERRORS),
            ERROR_SUCCESS);
  EXPECT_TRUE(asked.empty());
  HINTERNET a = Request(server.Port(), "/auth");
  ASSERT_TRUE(HttpSendRequest(a, {}, nullptr, 0));
  answer = ERROR_CANCELLED;
  EXPECT_EQ(InternetErrorDlg(77, a, ERROR_SUCCESS, FLAGS_ERROR_UI_FILTER_FOR_ERRORS),
            ERROR_CANCELLED);
  EXPECT_EQ(asked, std::vector<std::uint32_t>{ERROR_SUCCESS});
}

TEST_F(InetTest, OfflineModeRefusesSendsUntilTheUserGoesOnline) {
  HttpTestServer server;
  server.On("/ok", HttpReply("ok"));
  std::uint32_t state = 0, length = sizeof state;
  ASSERT_TRUE(InternetQueryOption(nullptr, INTERNET_OPTION_CONNECTED_STATE, &state, length));
  EXPECT_EQ(state, INTERNET_STATE_CONNECTED);
  SetU32(nullptr, INTERNET_OPTION_CONNECTED_STATE, INTERNET_STATE_DISCONNECTED_BY_USER);
  length = sizeof state;
  ASSERT_TRUE(InternetQueryOption(nullptr, INTERNET_OPTION_CONNECTED_STATE, &state, length));
  EXPECT_EQ(state, INTERNET_STATE_DISCONNECTED_BY_USER);
  HINTERNET r = Request(server.Port(), "/ok");
  EXPECT_FALSE(HttpSendRequest(r, {}, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_DISCONNECTED);
  EXPECT_EQ(server.RequestCount(), 0u);

  SetInternetGoOnlineHook([](std::string_view, WindowHandle) { return false; });
  EXPECT_FALSE(InternetGoOnline("http://x", 0));
  EXPECT_FALSE(HttpSendRequest(r, {}, nullptr, 0));
  SetInternetGoOnlineHook({});
  EXPECT_TRUE(InternetGoOnline("http://x", 0));  // the default answers online
  EXPECT_TRUE(HttpSendRequest(r, {}, nullptr, 0)) << GetLastError();
}

// --- redirects, cookies, proxies ---------------------------------------------------------------

TEST_F(InetTest, RedirectsAreFollowedWithinLimits) {
  HttpTestServer plain;
  plain.On("/target", HttpReply("arrived"));
  plain.On("/from", HttpReply::Redirect("/target"));
  plain.On("/loop", HttpReply::Redirect("/loop"));
  plain.On("/post", HttpReply::Redirect("/target", 303));

  std::string body;
  std::uint32_t error = 0;
  HINTERNET r = Request(plain.Port(), "/from");
  ASSERT_TRUE(Fetch(r, body, error)) << error;
  EXPECT_EQ(body, "arrived");
  EXPECT_EQ(Query(r, HTTP_QUERY_STATUS_CODE), "200");
  EXPECT_EQ(Query(r, HTTP_QUERY_LOCATION), "<error 12150>");

  HINTERNET manual = Request(plain.Port(), "/from", INTERNET_FLAG_NO_AUTO_REDIRECT);
  ASSERT_TRUE(Fetch(manual, body, error));
  EXPECT_EQ(Query(manual, HTTP_QUERY_STATUS_CODE), "302");
  EXPECT_EQ(Query(manual, HTTP_QUERY_LOCATION), "/target");

  HINTERNET post = Request(plain.Port(), "/post", 0, "POST");
  ASSERT_TRUE(Fetch(post, body, error, 4096, "form")) << error;
  EXPECT_EQ(plain.Requests().back().method, "GET");

  HINTERNET looping = Request(plain.Port(), "/loop");
  EXPECT_FALSE(HttpSendRequest(looping, {}, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_HTTP_REDIRECT_FAILED);

  // From TLS to plain HTTP only when the request allows it.
  tarvo::testing::TrustTestAuthority trust;
  HttpTestServer secure(Tls("server.pem"));
  secure.On("/down", HttpReply::Redirect(plain.Url("/target")));
  HINTERNET refused = Request(secure.Port(), "/down", INTERNET_FLAG_SECURE);
  EXPECT_FALSE(HttpSendRequest(refused, {}, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
  HINTERNET allowed = Request(secure.Port(), "/down", INTERNET_FLAG_SECURE);
  SetU32(allowed, INTERNET_OPTION_SECURITY_FLAGS, SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP);
  ASSERT_TRUE(Fetch(allowed, body, error)) << error;
  EXPECT_EQ(body, "arrived");
}

TEST_F(InetTest, AutomaticCookiesUnlessTurnedOff) {
  HttpTestServer server;
  HttpReply set("set");
  set.headers = {{"Set-Cookie", "auto_one=1; Path=/"}, {"Set-Cookie", "auto_two=2; Path=/"}};
  server.On("/set", set);
  server.On("/check", HttpReply("checked"));
  HINTERNET noCookies = Request(server.Port(), "/set", INTERNET_FLAG_NO_COOKIES);
  ASSERT_TRUE(HttpSendRequest(noCookies, {}, nullptr, 0));
  HINTERNET check1 = Request(server.Port(), "/check");
  ASSERT_TRUE(HttpSendRequest(check1, {}, nullptr, 0));
  // (The jar is the process's: other tests of this process may have filled it.)
  EXPECT_EQ(server.Requests().back().Header("Cookie").find("auto_"), std::string::npos);

  HINTERNET setter = Request(server.Port(), "/set");
  ASSERT_TRUE(HttpSendRequest(setter, {}, nullptr, 0));
  HINTERNET check2 = Request(server.Port(), "/check");
  ASSERT_TRUE(HttpSendRequest(check2, {}, nullptr, 0));
  const std::string cookie = server.Requests().back().Header("Cookie");
  EXPECT_NE(cookie.find("auto_one=1"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("auto_two=2"), std::string::npos) << cookie;
  HINTERNET check3 = Request(server.Port(), "/check", INTERNET_FLAG_NO_COOKIES);
  ASSERT_TRUE(HttpSendRequest(check3, {}, nullptr, 0));
  EXPECT_EQ(server.Requests().back().HeaderCount("Cookie"), 0u);
}

TEST_F(InetTest, ProxiesFromTheListOrTheEnvironment) {
  FaultServer::Script answer;
  answer.response = "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nproxied";
  FaultServer proxy(answer);
  const std::string proxyAddress = "127.0.0.1:" + std::to_string(proxy.Port());

  HINTERNET viaList = Keep(InternetOpen("a", INTERNET_OPEN_TYPE_PROXY,
                                        "https=none:1 http=" + proxyAddress, "other.example", 0));
  ASSERT_TRUE(viaList);
  HINTERNET c =
      Keep(InternetConnect(viaList, "target.example", 8080, {}, {}, INTERNET_SERVICE_HTTP, 0, 0));
  HINTERNET r = Keep(HttpOpenRequest(c, "GET", "/x", {}, {}, nullptr, 0, 0));
  std::string body;
  std::uint32_t error = 0;
  ASSERT_TRUE(Fetch(r, body, error)) << error;
  EXPECT_EQ(body, "proxied");
  EXPECT_EQ(proxy.Requests().back().rfind("GET http://target.example:8080/x HTTP/1.1\r\n", 0), 0u)
      << proxy.Requests().back();

  // The platform's configuration: the environment.
  tarvo::testing::Sandbox box;
  box.SetEnv("http_proxy", "http://" + proxyAddress);
  HINTERNET viaEnv = Request(1, "/y", 0, "GET", "env.example");
  ASSERT_TRUE(Fetch(viaEnv, body, error)) << error;
  EXPECT_EQ(proxy.Requests().back().rfind("GET http://env.example:1/y HTTP/1.1\r\n", 0), 0u);
  HINTERNET direct = Keep(InternetOpen("a", INTERNET_OPEN_TYPE_DIRECT, {}, {}, 0));
  HINTERNET dc = Keep(InternetConnect(direct, "127.0.0.1", 1, {}, {}, INTERNET_SERVICE_HTTP, 0, 0));
  HINTERNET dr = Keep(HttpOpenRequest(dc, "GET", "/z", {}, {}, nullptr, 0, 0));
  EXPECT_FALSE(HttpSendRequest(dr, {}, nullptr, 0));  // nobody listens on port 1
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
  EXPECT_EQ(proxy.Requests().size(), 2u);
}

TEST_F(InetTest, ARefusedTunnelIsAnExtendedError) {
  FaultServer proxy(FaultServer::Status(403, "Forbidden"));
  HINTERNET inet = Keep(InternetOpen("a", INTERNET_OPEN_TYPE_PROXY,
                                     "127.0.0.1:" + std::to_string(proxy.Port()), {}, 0));
  HINTERNET c =
      Keep(InternetConnect(inet, "secure.tarvo.example", 443, {}, {}, INTERNET_SERVICE_HTTP, 0, 0));
  HINTERNET r = Keep(HttpOpenRequest(c, "GET", "/", {}, {}, nullptr, INTERNET_FLAG_SECURE, 0));
  EXPECT_FALSE(HttpSendRequest(r, {}, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_EXTENDED_ERROR);
  std::uint32_t code = 0;
  std::string text;
  ASSERT_TRUE(InternetGetLastResponseInfo(code, text));
  EXPECT_EQ(code, 403u);
  EXPECT_NE(text.find("403"), std::string::npos) << text;
  EXPECT_EQ(proxy.Requests().back().rfind("CONNECT secure.tarvo.example:443 HTTP/1.1\r\n", 0), 0u);
  // The next send starts without it.
  HttpTestServer server;
  server.On("/", HttpReply("ok"));
  ASSERT_TRUE(HttpSendRequest(Request(server.Port(), "/"), {}, nullptr, 0));
  EXPECT_FALSE(InternetGetLastResponseInfo(code, text));
}

// --- handles and options ---------------------------------------------------------------------

TEST_F(InetTest, HandlesAndOptionsAreChecked) {
  HttpTestServer server;
  server.On("/ok", HttpReply("ok"));
  SetU32(fInet, INTERNET_OPTION_RECEIVE_TIMEOUT, 1234);
  HINTERNET c = Connect(server.Port());
  SetU32(c, INTERNET_OPTION_CONNECT_TIMEOUT, 4321);
  HINTERNET r = Keep(HttpOpenRequest(c, "GET", "/ok", {}, {}, nullptr, 0, 0));
  std::uint32_t value = 0, length = sizeof value;
  ASSERT_TRUE(InternetQueryOption(r, INTERNET_OPTION_RECEIVE_TIMEOUT, &value, length));
  EXPECT_EQ(value, 1234u);  // inherited from the internet handle
  ASSERT_TRUE(InternetQueryOption(r, INTERNET_OPTION_CONNECT_TIMEOUT, &value, length));
  EXPECT_EQ(value, 4321u);
  SetU32(r, INTERNET_OPTION_RECEIVE_TIMEOUT, 99);
  ASSERT_TRUE(InternetQueryOption(c, INTERNET_OPTION_RECEIVE_TIMEOUT, &value, length));
  EXPECT_EQ(value, 1234u);  // the request's own copy changed, not its parent's
  ASSERT_TRUE(InternetQueryOption(r, INTERNET_OPTION_HANDLE_TYPE, &value, length));
  EXPECT_EQ(value, INTERNET_HANDLE_TYPE_HTTP_REQUEST);
  char url[128];
  std::uint32_t urlLength = sizeof url;
  ASSERT_TRUE(InternetQueryOption(r, INTERNET_OPTION_URL, url, urlLength));
  EXPECT_EQ(std::string(url, urlLength),
            "http://127.0.0.1:" + std::to_string(server.Port()) + "/ok");
  char agent[64];
  std::uint32_t agentLength = sizeof agent;
  ASSERT_TRUE(InternetQueryOption(fInet, INTERNET_OPTION_USER_AGENT, agent, agentLength));
  EXPECT_EQ(std::string(agent, agentLength), "tarvo-test");

  struct Bad {
    HINTERNET handle;
    std::uint32_t option;
    std::uint32_t length;
    std::uint32_t error;
  };
  const Bad bad[] = {
      {r, 9999, 4, ERROR_INTERNET_INVALID_OPTION},
      {r, INTERNET_OPTION_RECEIVE_TIMEOUT, 2, ERROR_INTERNET_BAD_OPTION_LENGTH},
      {r, INTERNET_OPTION_HANDLE_TYPE, 4, ERROR_INTERNET_OPTION_NOT_SETTABLE},
      {c, INTERNET_OPTION_SECURITY_FLAGS, 4, ERROR_INTERNET_INCORRECT_HANDLE_TYPE},
      {r, INTERNET_OPTION_USER_AGENT, 4, ERROR_INTERNET_INCORRECT_HANDLE_TYPE},
      {nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT, 4, ERROR_INTERNET_INVALID_OPTION},
      {reinterpret_cast<HINTERNET>(12345), INTERNET_OPTION_RECEIVE_TIMEOUT, 4,
       ERROR_INVALID_HANDLE},
  };
  for (const Bad& b : bad) {
    const std::uint32_t v = 1;
    EXPECT_FALSE(InternetSetOption(b.handle, b.option, &v, b.length)) << b.option;
    EXPECT_EQ(GetLastError(), b.error) << b.option;
  }
  // Handles of the wrong kind, and closed handles.
  EXPECT_FALSE(HttpOpenRequest(fInet, "GET", "/", {}, {}, nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  EXPECT_FALSE(HttpOpenRequest(c, "G ET", "/", {}, {}, nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(InternetConnect(fInet, "bad host", 80, {}, {}, INTERNET_SERVICE_HTTP, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_URL);
  HINTERNET closed = HttpOpenRequest(c, "GET", "/", {}, {}, nullptr, 0, 0);
  ASSERT_TRUE(InternetCloseHandle(closed));
  EXPECT_FALSE(InternetCloseHandle(closed));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(HttpSendRequest(closed, {}, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  char c1;
  std::uint32_t n = 0;
  EXPECT_FALSE(InternetReadFile(r, &c1, 1, n));  // nothing sent yet
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  // The parent may go first: the request keeps what it needs.
  InternetCloseHandle(c);
  fHandles.erase(std::find(fHandles.begin(), fHandles.end(), c));
  EXPECT_TRUE(HttpSendRequest(r, {}, nullptr, 0)) << GetLastError();
}

TEST_F(InetTest, ThreadsShareOneInternetHandle) {
  HttpTestServer server;
  for (int i = 0; i < 4; ++i) server.On("/t" + std::to_string(i), HttpReply(RandomBytes(50000, i)));
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 5; ++k) {
        HINTERNET c =
            InternetConnect(fInet, "127.0.0.1", server.Port(), {}, {}, INTERNET_SERVICE_HTTP, 0, 0);
        HINTERNET r = HttpOpenRequest(c, "GET", "/t" + std::to_string(i), {}, {}, nullptr, 0, 0);
        std::string body;
        std::uint32_t error = 0;
        if (Fetch(r, body, error) && body == RandomBytes(50000, i)) ++good;
        InternetCloseHandle(r);
        InternetCloseHandle(c);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(good.load(), 20);
}

}  // namespace
}  // namespace tarvo::platform
