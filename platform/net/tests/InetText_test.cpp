#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/DateTime.h"
#include "platform/core/Errors.h"
#include "platform/net/Inet.h"
#include "platform/net/InetInternal.h"
#include "testing/HttpTestServer.h"
#include "testing/Sandbox.h"

namespace tarvo::platform {
namespace {

using namespace inet_detail;

TEST(InetText, RequestTargetsAreEncodedWhereTheyMustBe) {
  const std::pair<std::string, std::string> cases[] = {
      {"/a/b?c=d&e=f", "/a/b?c=d&e=f"},
      {"", "/"},
      {"a", "/a"},
      {"/a b", "/a%20b"},
      {"/q?x=1 2", "/q?x=1%202"},
      {"/%41%2f", "/%41%2f"},  // existing escapes stay
      {"/%4", "/%254"},        // a "%" without two hex digits does not
      {"/%zz", "/%25zz"},
      {"/100%", "/100%25"},
      {"/\xC3\xA4", "/%C3%A4"},  // non-ASCII bytes
      {std::string("/\x01\x7F\t", 4), "/%01%7F%09"},
      {"/x#frag", "/x%23frag"},  // nothing after "#" is silently dropped
      {"/\r\nHost: evil", "/%0D%0AHost:%20evil"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(EncodeRequestTarget(in), out) << in;
}

TEST(InetText, HttpDatesInAllThreeForms) {
  struct Case {
    const char* text;
    int y, mo, d, h, mi, s;
  };
  const Case good[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 1994, 11, 6, 8, 49, 37},
      {"Sun Nov  6 08:49:37 1994", 1994, 11, 6, 8, 49, 37},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 1970, 1, 1, 0, 0, 0},
      {"Tue, 29 Feb 2028 23:59:59 UTC", 2028, 2, 29, 23, 59, 59},
      {"Monday, 01-Jan-24 12:00:00 GMT", 2024, 1, 1, 12, 0, 0},
      {"Sun, 06 Nov 1994 11:49:37 +0300", 1994, 11, 6, 8, 49, 37},
      {"Sat, 31 Dec 2022 23:30:00 -0100", 2023, 1, 1, 0, 30, 0},
  };
  for (const Case& c : good) {
    const std::optional<CivilTime> t = ParseHttpDate(c.text);
    ASSERT_TRUE(t) << c.text;
    EXPECT_EQ(std::make_tuple(t->year, t->month, t->day, t->hour, t->minute, t->second),
              std::make_tuple(c.y, c.mo, c.d, c.h, c.mi, c.s))
        << c.text;
  }
  for (const char* bad : {"", "yesterday", "Sun, 31 Nov 1994 08:49:37 GMT",
                          "Sun, 06 Nov 1994 24:00:00 GMT", "Sun, 06 Nov 1994 08:49:37 EST",
                          "Sun, 06 Foo 1994 08:49:37 GMT", "Sun, 06 Nov 1994", "06 Nov 1994 8:4"})
    EXPECT_FALSE(ParseHttpDate(bad)) << bad;
}

TEST(InetText, CrackUrlSplitsAsWritten) {
  struct Case {
    const char* url;
    int scheme;
    const char* host;
    int port;
    const char* user;
    const char* password;
    const char* path;
    const char* extra;
  };
  const Case cases[] = {
      {"http://user:pw@host.example:8080/a/b?x=1#top", INTERNET_SCHEME_HTTP, "host.example", 8080,
       "user", "pw", "/a/b", "?x=1#top"},
      {"https://host", INTERNET_SCHEME_HTTPS, "host", 443, "", "", "", ""},
      {"HTTPS://Host/x", INTERNET_SCHEME_HTTPS, "Host", 443, "", "", "/x", ""},
      {"http://[::1]:8443/p", INTERNET_SCHEME_HTTP, "::1", 8443, "", "", "/p", ""},
      {"http://h:/p", INTERNET_SCHEME_HTTP, "h", 80, "", "", "/p", ""},
      {"ftp://files/pub", INTERNET_SCHEME_FTP, "files", 21, "", "", "/pub", ""},
      {"socks://s", INTERNET_SCHEME_SOCKS, "s", 1080, "", "", "", ""},
      {"http://h?q", INTERNET_SCHEME_HTTP, "h", 80, "", "", "", "?q"},
      {"file:///etc/hosts", INTERNET_SCHEME_FILE, "", 0, "", "", "/etc/hosts", ""},
      {"custom://h:5/x", INTERNET_SCHEME_UNKNOWN, "h", 5, "", "", "/x", ""},
      {"mailto://x", INTERNET_SCHEME_MAILTO, "x", 0, "", "", "", ""},
  };
  for (const Case& c : cases) {
    UrlComponents u;
    ASSERT_TRUE(InternetCrackUrl(c.url, u)) << c.url;
    EXPECT_EQ(u.nScheme, c.scheme) << c.url;
    EXPECT_EQ(u.hostName, c.host) << c.url;
    EXPECT_EQ(u.nPort, c.port) << c.url;
    EXPECT_EQ(u.userName, c.user) << c.url;
    EXPECT_EQ(u.password, c.password) << c.url;
    EXPECT_EQ(u.urlPath, c.path) << c.url;
    EXPECT_EQ(u.extraInfo, c.extra) << c.url;
  }
  for (const char* bad : {"host/path", "://x", "http://", "http://h:99999/", "http://h:8a/",
                          "http://[::1/x", "http://[::1]x/", "1http://h/"}) {
    UrlComponents u;
    SetLastError(0);
    EXPECT_FALSE(InternetCrackUrl(bad, u)) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_URL) << bad;
  }
}

TEST(InetText, HeaderNamesOfInfoLevels) {
  EXPECT_EQ(HttpQueryHeaderName(HTTP_QUERY_DATE), "Date");
  EXPECT_EQ(HttpQueryHeaderName(HTTP_QUERY_LAST_MODIFIED), "Last-Modified");
  EXPECT_EQ(HttpQueryHeaderName(HTTP_QUERY_CONTENT_ENCODING), "Content-Encoding");
  EXPECT_EQ(HttpQueryHeaderName(HTTP_QUERY_CACHE_CONTROL), "Cache-Control");
  EXPECT_EQ(HttpQueryHeaderName(HTTP_QUERY_ETAG), "ETag");
  EXPECT_EQ(HttpQueryHeaderName(HTTP_QUERY_SET_COOKIE), "Set-Cookie");
  EXPECT_EQ(HttpQueryHeaderName(HTTP_QUERY_UNLESS_MODIFIED_SINCE), "Unless-Modified-Since");
  EXPECT_EQ(HttpQueryHeaderName(HTTP_QUERY_STATUS_CODE), "");
  EXPECT_EQ(HttpQueryHeaderName(HTTP_QUERY_CUSTOM), "");
  EXPECT_EQ(HttpQueryHeaderName(1000), "");
}

TEST(InetText, ServerNamesAndTokens) {
  EXPECT_EQ(UrlHostOf("example.com"), "example.com");
  EXPECT_EQ(UrlHostOf("::1"), "[::1]");
  EXPECT_EQ(UrlHostOf("[fe80::1]"), "[fe80::1]");
  EXPECT_EQ(UrlHostOf("\xD0\xBF\xD1\x80.\xD1\x80\xD1\x84"), "\xD0\xBF\xD1\x80.\xD1\x80\xD1\x84");
  for (const char* bad : {"", "a b", "a/b", "a@b", "[::1", "[zz]", "host\r\n", "a:b:g"})
    EXPECT_FALSE(UrlHostOf(bad)) << bad;
  EXPECT_TRUE(IsHttpToken("X-Tarvo-Balancer"));
  EXPECT_TRUE(IsHttpToken("GET"));
  for (const char* bad : {"", "a b", "a:b", "a\r", "\xC3\xA4", "(x)"})
    EXPECT_FALSE(IsHttpToken(bad));
}

TEST(InetText, ProxySettingsComeFromTheEnvironment) {
  tarvo::testing::ProxyEnvironmentCleared cleared;
  tarvo::testing::Sandbox box;
  EXPECT_FALSE(InternetGetProxySettings().enabled);
  // Upper-case HTTP_PROXY is not read, as curl does not read it either.
  box.SetEnv("HTTP_PROXY", "http://ignored:1");
  EXPECT_FALSE(InternetGetProxySettings().enabled);
  box.SetEnv("http_proxy", "http://a:1/");
  box.SetEnv("https_proxy", "https://u:p@b:2");
  box.SetEnv("NO_PROXY", " x , y.example,");
  const InternetProxySettings s = InternetGetProxySettings();
  EXPECT_TRUE(s.enabled);
  EXPECT_EQ(s.proxies, "http=a:1;https=b:2");
  EXPECT_EQ(s.bypass, "x;y.example");
}

// Header lines one at a time, as curl hands them over. A folded line joins
// the header before it (value and raw line); after a nameless line it joins
// the raw line only; after a line that was not taken at all (no colon) it is
// dropped too, rather than glued onto an older header.
TEST(InetText, HeadReaderJoinsFoldedLinesToTheLineTheyContinue) {
  HeadReader reader;
  const std::pair<const char*, HeadReader::Step> feed[] = {
      {"HTTP/1.1 200 OK\r\n", HeadReader::Step::Line}, {"X-A: a\r\n", HeadReader::Step::Line},
      {" more\r\n", HeadReader::Step::Line},           {": nameless\r\n", HeadReader::Step::Line},
      {"\ttail\r\n", HeadReader::Step::Line},          {"bare\r\n", HeadReader::Step::Line},
      {" dropped\r\n", HeadReader::Step::Line},        {"\r\n", HeadReader::Step::BlockEnd},
  };
  for (const auto& [line, step] : feed) EXPECT_EQ(reader.Feed(line), step) << line;
  const HttpHead& head = reader.pending;
  EXPECT_EQ(head.status, 200);
  ASSERT_EQ(head.headers.size(), 1u);
  EXPECT_EQ(head.headers[0].name, "X-A");
  EXPECT_EQ(head.headers[0].value, "a more");
  EXPECT_EQ(head.lines,
            (std::vector<std::string>{"HTTP/1.1 200 OK", "X-A: a more", ": nameless tail"}));
  for (const std::string& l : head.lines) EXPECT_EQ(l.find("dropped"), std::string::npos) << l;
  EXPECT_FALSE(reader.Overflowed());

  // A folded line straight after the status line continues nothing.
  HeadReader fresh;
  fresh.Feed("HTTP/1.1 204 No Content\r\n");
  fresh.Feed(" orphan\r\n");
  EXPECT_EQ(fresh.pending.lines, (std::vector<std::string>{"HTTP/1.1 204 No Content"}));
  EXPECT_TRUE(fresh.pending.headers.empty());
}

}  // namespace
}  // namespace tarvo::platform
