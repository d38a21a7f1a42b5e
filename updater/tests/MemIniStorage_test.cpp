#include "updater/MemIniStorage.h"

#include <gtest/gtest.h>

namespace tarvo {
namespace {

TEST(CompareNames, IgnoresOnlyAsciiCase) {
  EXPECT_EQ(CompareNames("Section", "sECTION"), 0);
  EXPECT_LT(CompareNames("abc", "abd"), 0);
  EXPECT_GT(CompareNames("abc", "ab"), 0);
  // Cyrillic letters compare by their bytes: different case, different names.
  EXPECT_NE(CompareNames("Ключ", "ключ"), 0);
}

TEST(TFastStrings, KeepsNamesSortedAndFindsThemIgnoringCase) {
  TFastStrings<int> list;
  for (const char* name : {"delta", "Alpha", "charlie", "BRAVO"})
    list.GetOrAdd(name, [] { return std::make_unique<int>(0); });
  ASSERT_EQ(list.Count(), 4u);
  EXPECT_EQ(list[0].name, "Alpha");
  EXPECT_EQ(list[1].name, "BRAVO");
  EXPECT_EQ(list[3].name, "delta");
  EXPECT_NE(list.Lookup("CHARLIE"), nullptr);
  EXPECT_EQ(list.Lookup("echo"), nullptr);
  // Adding a present name in other case keeps the first spelling and object.
  int& a = list.GetOrAdd("ALPHA", [] { return std::make_unique<int>(7); });
  EXPECT_EQ(a, 0);
  EXPECT_EQ(list.Count(), 4u);
  EXPECT_TRUE(list.Delete("bravo"));
  EXPECT_FALSE(list.Delete("bravo"));
  EXPECT_EQ(list.Count(), 3u);
}

TEST(TTarvoTranslateSections, ParsesTheSourceFormat) {
  TTarvoTranslateSections sections;
  sections.SetStrings({
      "orphan=before any section",
      "  [First]  ",
      "; a comment=not a key",
      "",
      "  key one  =  value one  ",
      "no equals sign here",
      "eq=a=b",
      "empty=",
      "[second]",
      "k=v",
      "[FIRST]",  // continues the first section
      "Key One=replaced",
      "[]",
      "in empty=x",
  });
  EXPECT_EQ(sections.ReadString("first", "KEY ONE", "?"), "replaced");
  EXPECT_EQ(sections.ReadString("First", "eq", "?"), "a=b");
  EXPECT_EQ(sections.ReadString("First", "empty", "?"), "");
  EXPECT_EQ(sections.ReadString("First", "orphan", "?"), "?");
  EXPECT_EQ(sections.ReadString("First", "; a comment", "?"), "?");
  EXPECT_EQ(sections.ReadString("Second", "k", "?"), "v");
  EXPECT_EQ(sections.ReadString("", "in empty", "?"), "x");
  EXPECT_EQ(sections.ReadString("Third", "k", "default"), "default");
  EXPECT_EQ(sections.Count(), 3u);

  const TTarvoTranslateSection* section = nullptr;
  ASSERT_TRUE(sections.FindSection("FIRST", section));
  EXPECT_EQ(section->Name(), "First");

  // A later source wins key by key and keeps the rest.
  sections.SetStrings({"[Second]", "k=later", "new=added"});
  EXPECT_EQ(sections.ReadString("second", "k", "?"), "later");
  EXPECT_EQ(sections.ReadString("second", "new", "?"), "added");
  EXPECT_EQ(sections.ReadString("first", "eq", "?"), "a=b");

  sections.ReplaceString("Fourth", "x", "y");
  EXPECT_EQ(sections.ReadString("fourth", "X", "?"), "y");
  EXPECT_TRUE(sections.DeleteString("fourth", "x"));
  EXPECT_EQ(sections.ReadString("fourth", "X", "?"), "?");
}

}  // namespace
}  // namespace tarvo

namespace tarvo {
namespace {

// The hash index folds eight bytes at a time: every length around a word
// boundary, and the bytes next to A-Z that must not fold.
TEST(NameHashAndEqual, FoldOnlyAsciiLettersAtEveryLength) {
  const NameHash hash;
  const NameEqual equal;
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {"", "", true},
      {"A", "a", true},
      {"SECTION", "section", true},
      {"SomeIdent", "someIDENT", true},
      {"SomeIdentifier42", "SOMEIDENTIFIER42", true},
      {"SomeIdentifier42x", "someidentifier42X", true},
      {"@[`{", "@[`{", true},
      {"@", "`", false},  // 0x40 and 0x60 sit just outside A-Z
      {"[", "{", false},
      {"Z", "z", true},
      {"Ключ", "ключ", false},
      {"Ключ", "Ключ", true},
      {"abc", "abcd", false},
      {std::string("a\0b", 3), std::string("A\0B", 3), true},
      {std::string("a\0", 2), "a", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(equal(c.a, c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(equal(c.a, c.b), CompareNames(c.a, c.b) == 0) << c.a << " / " << c.b;
    if (c.same) {
      EXPECT_EQ(hash(c.a), hash(c.b)) << c.a;
    }
  }
}

}  // namespace
}  // namespace tarvo
