#include <gtest/gtest.h>

#include <string>

#include "http/TarvoWinInet.h"

namespace tarvo {
namespace {

TEST(TarvoCookie, ParsesTheCookieAndReadsPastAttributes) {
  const struct {
    const char* header;
    const char* name;
    const char* value;
  } cases[] = {
      {"a=1", "a", "1"},
      {"a=1; path=/; domain=example.com; expires=Wed, 09 Jun 2021 10:18:14 GMT; secure; httponly",
       "a", "1"},
      {"a", "a", ""},
      {"a=", "a", ""},
      {"a=b=c", "a", "b=c"},
      {"  session = x1 ;", "session", "x1"},
      {"; ;a=1", "a", "1"},
      {"q=\"x;y\"; path=/", "q", "\"x;y\""},
      {"UPPER=Case", "UPPER", "Case"},
  };
  for (const auto& c : cases) {
    const TCookie cookie(c.header);
    EXPECT_EQ(cookie.Name(), c.name) << c.header;
    EXPECT_EQ(cookie.Value(), c.value) << c.header;
  }
  const TCookie full("a=1; path=/p; domain=example.com; secure; httponly");
  EXPECT_EQ(full.Path(), "/p");
  EXPECT_EQ(full.Domain(), "example.com");
  EXPECT_TRUE(full.IsSecure());
  EXPECT_TRUE(full.IsHttpOnly());
}

TEST(TarvoCookie, RefusesHeadersWithoutACookie) {
  for (const char* bad : {"", "   ", " ; ;  ;", "=1", "a=1\r\nX-Injected: 1", "a=\n1"}) {
    try {
      TCookie cookie(bad);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const EWinInetError& e) {
      EXPECT_STREQ(e.what(), "Invalid SetCookie header");
    }
  }
}

TEST(TarvoCookie, ListKeepsOneCookiePerNameInOrdinalOrder) {
  TCookieList list;
  for (const char* header : {"b=1", "a=1", "B=1", "a=2", "_=1"})
    list.AddCookie(std::make_unique<TCookie>(header));
  ASSERT_EQ(list.Count(), 4);
  // Ordinal, case-sensitive: "B" < "_" < "a" < "b".
  EXPECT_EQ(list.GetCookie(0)->Name(), "B");
  EXPECT_EQ(list.GetCookie(1)->Name(), "_");
  EXPECT_EQ(list.GetCookie(2)->Name(), "a");
  EXPECT_EQ(list.GetCookie(2)->Value(), "2");
  EXPECT_EQ(list.GetCookie(3)->Name(), "b");
  int index = -1;
  EXPECT_TRUE(list.FindCookie(TCookie("a=x"), index));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(list.FindCookie(TCookie("c"), index));
  EXPECT_EQ(index, 4);
  EXPECT_THROW(list.GetCookie(4), std::out_of_range);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(TarvoCookie, StorageReplacesByName) {
  TCookieStorage storage;
  storage.SetCookie("sid=1; path=/");
  storage.SetCookie("sid=2");
  storage.SetCookie("SID=3");
  EXPECT_EQ(storage.Count(), 2);
  EXPECT_EQ(storage.Value("sid"), "2");
  EXPECT_EQ(storage.Value("SID"), "3");
  EXPECT_THROW(storage.SetCookie(" ; "), EWinInetError);
  storage.Clear();
  EXPECT_EQ(storage.Count(), 0);
}

}  // namespace
}  // namespace tarvo
