#include <gtest/gtest.h>

#include <string>

#include "qds/ttQDSData.h"

namespace tarvo {
namespace {

// An answer with two blocks, as the service sends it.
const char* const kAnswer = R"({
  "securities": {
    "metadata": {"SECID": {"type": "string", "bytes": 36}, "LOTSIZE": {"type": "int32"}},
    "columns": ["SECID", "LOTSIZE"],
    "data": [["SBER", 10], ["GAZP", 1]]
  },
  "marketdata": {
    "metadata": {"LAST": {"type": "double"}},
    "columns": ["LAST"],
    "data": [[250.5]]
  }
})";

std::shared_ptr<TDocKeeper> Keeper(const IDocKeeperPtr& doc) {
  return std::dynamic_pointer_cast<TDocKeeper>(doc);
}

TEST(DocKeeper, AnswerWithSeveralBlocksExposesTheNamedOne) {
  for (const char* block : {"securities", "marketdata"}) {
    SCOPED_TRACE(block);
    const IDocKeeperPtr doc = LoadDocumentFromString(nullptr, kAnswer, block);
    ASSERT_TRUE(doc);
    EXPECT_TRUE(doc->getValid());
    EXPECT_TRUE(doc->getBlock0().IsObject());
    EXPECT_EQ(doc->getFeedingSource(), TFeedingSource::xsCache);
  }
  const IDocKeeperPtr doc = LoadDocumentFromString(nullptr, kAnswer, "securities");
  EXPECT_EQ(doc->getBlock0Rows().Size(), 2u);
  EXPECT_EQ(doc->getBlock0Rows()[1][0].String(), "GAZP");
  EXPECT_EQ(doc->getBlock0Cols().Size(), 2u);
  EXPECT_EQ(doc->getBlock0Meta().Member("LOTSIZE").Member("type").String(), "int32");
  EXPECT_EQ(Keeper(doc)->LastUpstreamError(), "");
}

TEST(DocKeeper, ErrorAnswerIsInvalidAndCarriesItsText) {
  const IDocKeeperPtr doc = LoadDocumentFromString(
      nullptr, R"({"error": "Access denied for this market"})", "securities");
  ASSERT_TRUE(doc);
  EXPECT_FALSE(doc->getValid());
  EXPECT_EQ(Keeper(doc)->LastUpstreamError(), "Access denied for this market");
  EXPECT_FALSE(doc->getBlock0());
}

TEST(DocKeeper, Validation) {
  struct Case {
    const char* what;
    const char* json;
    bool valid;
    const char* error;
  };
  const Case cases[] = {
      {"error on the root", R"({"securities":{"data":[]},"error":"Bad request"})", false,
       "Bad request"},
      {"error inside a block", R"({"securities":{"error":"No such board"}})", false,
       "No such board"},
      {"error that is not a text", R"({"error":{"code":7}})", false, R"({"code":7})"},
      {"error that is null", R"({"error":null})", false, "null"},
      {"no such block", R"({"other":{"data":[]}})", true, ""},
      {"block that is no object", R"({"securities":[1,2]})", true, ""},
      {"root that is no object", R"([{"error":"x"}])", true, ""},
      {"column named error is data", R"({"securities":{"metadata":{"error":{"type":"int32"}},
         "columns":["error"],"data":[[1]]}})",
       true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const IDocKeeperPtr doc = LoadDocumentFromString(nullptr, c.json, "securities");
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->getValid(), c.valid);
    EXPECT_EQ(Keeper(doc)->LastUpstreamError(), c.error);
  }
  TDocKeeper empty;
  EXPECT_FALSE(empty.getValid()) << "no document is not a valid document";
}

TEST(DocKeeper, MissingOrMalformedBlockKeepsTheDocumentButNoRows) {
  const IDocKeeperPtr missing = LoadDocumentFromString(nullptr, R"({"other":{}})", "securities");
  EXPECT_TRUE(missing->getJSON());
  EXPECT_FALSE(missing->getBlock0());
  EXPECT_FALSE(missing->getBlock0Rows());
  EXPECT_FALSE(missing->getBlock0Cols());
  EXPECT_FALSE(missing->getBlock0Meta());

  const IDocKeeperPtr notObject =
      LoadDocumentFromString(nullptr, R"({"securities":"x"})", "securities");
  EXPECT_TRUE(notObject->getBlock0().IsString());
  EXPECT_FALSE(notObject->getBlock0Rows());

  // Parts of the wrong kind are not handed out as if they were right.
  const IDocKeeperPtr wrongParts = LoadDocumentFromString(
      nullptr, R"({"securities":{"data":{"a":1},"columns":"x","metadata":[1]}})", "securities");
  EXPECT_FALSE(wrongParts->getBlock0Rows());
  EXPECT_FALSE(wrongParts->getBlock0Cols());
  EXPECT_FALSE(wrongParts->getBlock0Meta());

  const IDocKeeperPtr noName = LoadDocumentFromString(nullptr, kAnswer, "");
  EXPECT_FALSE(noName->getBlock0());
}

struct CountingKeeper : TDocKeeper {
  static inline int asked = 0;
  bool ValidEmptyDoc() override {
    ++asked;
    return true;
  }
  static std::shared_ptr<TDocKeeper> Make() { return std::make_shared<CountingKeeper>(); }
};

TEST(DocKeeper, KeeperClassIsUsedAndAskedAboutAMissingBlock) {
  CountingKeeper::asked = 0;
  const IDocKeeperPtr doc =
      LoadDocumentFromString(&CountingKeeper::Make, R"({"x":{}})", "securities");
  EXPECT_TRUE(std::dynamic_pointer_cast<CountingKeeper>(doc));
  EXPECT_EQ(CountingKeeper::asked, 1);
  LoadDocumentFromString(&CountingKeeper::Make, kAnswer, "securities");
  EXPECT_EQ(CountingKeeper::asked, 1) << "a present block needs no answer";
}

TEST(DocKeeper, LoadFromTheWebReadsFromThePosition) {
  TQDSMemoryStream stream(std::string("skipped") + kAnswer);
  stream.Seek(7);
  const IDocKeeperPtr doc = LoadDocument(nullptr, false, stream, "marketdata");
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->getFeedingSource(), TFeedingSource::xsWeb);
  EXPECT_EQ(doc->getBlock0Rows()[0][0].Double(), 250.5);
  EXPECT_EQ(stream.Remaining(), 0u);
}

TEST(DocKeeper, SaveAndLoadFromTheCacheRoundTrip) {
  const IDocKeeperPtr original =
      LoadDocumentFromString(nullptr, R"({"b":{"columns":["N"],"data":[["Сбербанк"]]}})", "b");
  TQDSMemoryStream stream;
  original->Save(stream);
  StringToStream("", stream);  // an empty entry follows

  stream.Seek(0);
  const IDocKeeperPtr copy = LoadDocument(nullptr, true, stream, "b");
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->getFeedingSource(), TFeedingSource::xsCache);
  EXPECT_EQ(copy->getBlock0Rows()[0][0].String(), "Сбербанк");
  EXPECT_EQ(copy->getJSON()->Render(), original->getJSON()->Render());
  // The cached text is plain ASCII with escapes.
  EXPECT_NE(stream.Bytes().find("\\u0421"), std::string::npos);

  EXPECT_EQ(LoadDocument(nullptr, true, stream, "b"), nullptr)
      << "an empty cached text is no document";

  TDocKeeper none;
  TQDSMemoryStream nothing;
  none.Save(nothing);
  EXPECT_EQ(nothing.Size(), 0u);
}

TEST(DocKeeper, BadInputsFailCleanly) {
  EXPECT_EQ(LoadDocumentFromString(nullptr, "", "b"), nullptr);
  EXPECT_THROW(LoadDocumentFromString(nullptr, "{", "b"), EQDSJsonError);

  TQDSMemoryStream web("<html>502</html>");
  EXPECT_THROW(LoadDocument(nullptr, false, web, "b"), EQDSJsonError);
  TQDSMemoryStream emptyWeb;
  EXPECT_THROW(LoadDocument(nullptr, false, emptyWeb, "b"), EQDSJsonError);

  TQDSMemoryStream truncated(std::string("\x10\x00\x00\x00{}", 6));
  EXPECT_THROW(LoadDocument(nullptr, true, truncated, "b"), EQDSException);
  TQDSMemoryStream cachedGarbage(std::string("\x02\x00\x00\x00{x", 6));
  EXPECT_THROW(LoadDocument(nullptr, true, cachedGarbage, "b"), EQDSJsonError);
}

TEST(DocKeeper, SenderIsKeptAsAnIdentity) {
  const IDocKeeperPtr doc = LoadDocumentFromString(nullptr, "{}", "b");
  int sender = 0;
  doc->setSender(&sender);
  EXPECT_EQ(doc->getSender(), &sender);
}

}  // namespace
}  // namespace tarvo
