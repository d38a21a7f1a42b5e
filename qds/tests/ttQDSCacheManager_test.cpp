#include "qds/ttQDSCacheManager.h"

#include <pugixml.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/core/Files.h"
#include "platform/system/Process.h"
#include "qds/tests/helpers/CachePayload.h"
#include "testing/Sandbox.h"

using namespace tarvo;
using namespace tarvo::platform;
using namespace std::chrono_literals;
using tarvo::testing::Sandbox;

namespace {

using SteadyClock = std::chrono::steady_clock;

const std::string kGuidA = "11111111-1111-4111-8111-111111111111.dat";
const std::string kGuidB = "22222222-2222-4222-8222-222222222222.dat";
const std::string kGuidC = "33333333-3333-4333-8333-333333333333.dat";

class CacheTest : public ::testing::Test {
 protected:
  std::string Folder() const { return box.Path("cache") + "/"; }
  std::string File(const std::string& name) const { return Folder() + name; }
  std::unique_ptr<TQDSCacheManager> Make(const std::string& host = "host.test") {
    auto m = std::make_unique<TQDSCacheManager>(Folder(), host);
    m->SetSaveDelay(0);
    return m;
  }
  pugi::xml_document ReadTOC() const {
    pugi::xml_document doc;
    auto bytes = ReadFileBytes(File("TOC.dat"));
    EXPECT_TRUE(bytes);
    if (bytes) {
      EXPECT_TRUE(doc.load_buffer(bytes->data(), bytes->size()));
    }
    return doc;
  }
  // An entry file holding a valid compressed document.
  void PutEntry(const std::string& name, const std::string& text) {
    ForceDirectories(box.Path("cache"));
    ASSERT_TRUE(WriteFileAtomic(File(name), CacheDeflate(text)));
  }
  Sandbox box;
};

double Today() {
  return std::floor(Now());
}

std::string Entry(const std::string& code, const std::string& file, long long size, long long ttl,
                  long long creation) {
  return "<E0 Code=\"" + code + "\" FileName=\"" + file + "\" Size=\"" + std::to_string(size) +
         "\" TTL=\"" + std::to_string(ttl) + "\" Creation=\"" + std::to_string(creation) + "\"/>";
}

std::string Toc(const std::string& version, const std::string& users, const std::string& entries,
                const std::string& host = "host.test") {
  return "<?xml version=\"1.0\"?><TableOfContents><CacheVersion Value=\"" + version + "\"><Users>" +
         users + "</Users><Hosts><Host0 Host=\"" + host + "\">" + entries +
         "</Host0></Hosts></CacheVersion></TableOfContents>";
}

std::unique_ptr<Process> Helper(const std::string& params) {
  auto p = LaunchProcess({ExecutableFolder() + "qds_cache_helper", params, "", false});
  EXPECT_TRUE(p) << params;
  return p;
}

std::optional<std::string> AwaitFile(const std::string& path,
                                     std::chrono::milliseconds timeout = 20s) {
  const auto deadline = SteadyClock::now() + timeout;
  while (SteadyClock::now() < deadline) {
    if (auto bytes = ReadFileBytes(path)) return bytes;
    std::this_thread::sleep_for(5ms);
  }
  return std::nullopt;
}

}  // namespace

TEST_F(CacheTest, FileStreamBeforeTheFirstLookupIsNone) {
  auto m = Make();
  EXPECT_FALSE(m->FileStream("k", TCacheStreamMode::Create, true, 1));
  EXPECT_FALSE(PathExists(box.Path("cache")));  // creating a manager touches no disk
}

TEST_F(CacheTest, TableOfContentsHasTheDocumentedStructureAndRoundTrips) {
  CacheVersionPrefix = "X";
  {
    auto m = Make("Host.Test");
    m->SetProgramPath("/opt/tarvo/terminal");
    EXPECT_TRUE(m->WriteEntry("quotes:SBER", "document one", 2));
    EXPECT_TRUE(m->WriteEntry("quotes:GAZP", "document two", 0));
  }
  CacheVersionPrefix.clear();
  auto doc = ReadTOC();
  auto v = doc.child("TableOfContents").child("CacheVersion");
  EXPECT_STREQ(v.attribute("Value").value(), "X1ur");
  EXPECT_STREQ(v.child("Users").child("P0").attribute("User").value(), "/opt/tarvo/terminal");
  auto host = v.child("Hosts").child("Host0");
  EXPECT_STREQ(host.attribute("Host").value(), "Host.Test");
  int entries = 0;
  for (auto e : host.children()) {
    if (std::string(e.name()) == "ESpecs") {
      EXPECT_STREQ(e.attribute("Specs").value(), "Keys");
      continue;
    }
    EXPECT_EQ(std::string(e.name()), "E" + std::to_string(entries));
    ++entries;
    EXPECT_TRUE(IsCacheEntryFileName(e.attribute("FileName").value()));
    EXPECT_EQ(e.attribute("Size").as_int(), 12);
    EXPECT_EQ(e.attribute("Creation").as_llong(), static_cast<long long>(Today()));
    EXPECT_TRUE(FileExists(File(e.attribute("FileName").value())));
  }
  EXPECT_EQ(entries, 2);

  // Another version does not see them; the same version and host (any case) does.
  auto other = Make("host.test");
  EXPECT_FALSE(other->DataExists("quotes:SBER"));
  CacheVersionPrefix = "x";
  auto same = Make("HOST.TEST");
  EXPECT_EQ(same->ReadEntry("QUOTES:sber"), "document one");
  EXPECT_EQ(same->ReadEntry("quotes:GAZP"), "document two");
  CacheVersionPrefix.clear();
}

TEST_F(CacheTest, HostileCodesAndSpecsNamesRoundTrip) {
  const std::vector<std::string> codes = {
      "a\"b'c",     "<tag attr=\"x\">&amp;</tag>",     std::string("ctl\x01\x02\x1f\t\r\nend"),
      "]]>--><!--", std::string(100000, 'k') + "long", "\xd0\x9a\xd0\xbb\xd1\x8e\xd1\x87 unicode"};
  struct Specs : ISpecsUser {
    std::vector<std::string> parts, lines;
    const std::vector<std::string>* loaded = nullptr;
    bool called = false;
    std::string GetKeyPart(int i) override { return parts[static_cast<std::size_t>(i - 1)]; }
    int GetKeyPartCount() override { return static_cast<int>(parts.size()); }
    void LoadFrom(const std::vector<std::string>* l) override {
      called = true;
      lines = l ? *l : std::vector<std::string>{"<none>"};
    }
    void SaveTo(std::vector<std::string>& out) override { out = lines; }
  };
  Specs s;
  s.parts = {"Grid", "1 bad name<>", "xml"};
  s.lines = {"width=10", "a<b&c\"d", ""};
  {
    auto m = Make();
    ASSERT_FALSE(m->DataExists("x"));
    for (std::size_t i = 0; i < codes.size(); ++i)
      EXPECT_TRUE(m->WriteEntry(codes[i], "payload " + std::to_string(i), 1));
    m->SaveSpecs(s);
    EXPECT_FALSE(m->WriteEntry(std::string("nul\0inside", 10), "x", 1));
  }
  auto m = Make();
  for (std::size_t i = 0; i < codes.size(); ++i)
    EXPECT_EQ(m->ReadEntry(codes[i]), "payload " + std::to_string(i)) << i;
  m->DataExists("x");  // loads the table, specs included
  Specs r;
  r.parts = s.parts;
  m->LoadSpecs(r);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"width=10", "a<b&c\"d", ""}));
  Specs missing;
  missing.parts = {"Grid", "nothing"};
  m->LoadSpecs(missing);
  EXPECT_TRUE(missing.called);
  EXPECT_EQ(missing.lines, std::vector<std::string>{"<none>"});
  Specs noParts;
  m->LoadSpecs(noParts);
  EXPECT_EQ(noParts.lines, std::vector<std::string>{"<none>"});
}

TEST_F(CacheTest, TimeToLiveOnAnInjectedClock) {
  const double D = 46000;  // a day number
  auto at = [&](double day) {
    auto m = Make();
    m->SetClock([day] { return day; });
    return m;
  };
  std::string file;
  {
    auto m = at(D + 0.4);
    EXPECT_FALSE(m->DataExists("k"));
    ASSERT_TRUE(m->WriteEntry("k", "doc", 2.7));  // TTL truncated to 2 days
  }
  for (double day : {D, D + 1.2, D + 2.99}) {
    auto m = at(day);
    EXPECT_EQ(m->ReadEntry("k"), "doc") << day;
  }
  auto doc = ReadTOC();
  file = doc.child("TableOfContents")
             .child("CacheVersion")
             .child("Hosts")
             .child("Host0")
             .child("E0")
             .attribute("FileName")
             .value();
  ASSERT_TRUE(FileExists(File(file)));
  {
    auto m = at(D + 3);
    EXPECT_FALSE(m->DataExists("k"));
  }
  EXPECT_FALSE(FileExists(File(file))) << "an expired entry's file is deleted";

  // A creation day in the future is dropped with its file.
  PutEntry(kGuidA, "future");
  WriteFileAtomic(File("TOC.dat"),
                  Toc("1ur", "", Entry("f", kGuidA, 6, 5, static_cast<long long>(D + 1))));
  auto m = at(D + 0.5);
  EXPECT_FALSE(m->DataExists("f"));
  EXPECT_FALSE(FileExists(File(kGuidA)));
}

TEST_F(CacheTest, DamagedEntriesAreMissesNotABrokenCache) {
  const long long today = static_cast<long long>(Today());
  PutEntry(kGuidA, "good document");
  PutEntry(kGuidB, "0123456789");
  ForceDirectories(box.Path("cache"));
  auto packed = CacheDeflate("third document");
  WriteFileAtomic(File(kGuidC), packed.substr(0, packed.size() / 2));  // torn
  std::string entries = Entry("good", kGuidA, 13, 5, today) +
                        Entry("wrongsize", kGuidB, 9999, 5, today) +  // rewritten by someone else
                        Entry("torn", kGuidC, 14, 5, today);
  WriteFileAtomic(File("TOC.dat"), Toc("1ur", "", entries));
  auto m = Make();
  EXPECT_EQ(m->ReadEntry("good"), "good document");
  for (const char* key : {"wrongsize", "torn"}) {
    EXPECT_TRUE(m->DataExists(key)) << key;
    EXPECT_FALSE(m->ReadEntry(key)) << key;
    EXPECT_FALSE(m->DataExists(key)) << key << " is dropped";
  }
  EXPECT_FALSE(FileExists(File(kGuidB)));
  EXPECT_FALSE(FileExists(File(kGuidC)));
  EXPECT_FALSE(m->IsBroken());
  EXPECT_TRUE(m->WriteEntry("torn", "rewritten", 1));
  EXPECT_EQ(m->ReadEntry("torn"), "rewritten");
}

TEST_F(CacheTest, RewritingAKeyKeepsItsTimeToLiveAndLeavesOneFile) {
  const double D = 46000;
  double today = D;
  auto m = Make();
  m->SetClock([&] { return today; });
  m->DataExists("k");
  ASSERT_TRUE(m->WriteEntry("k", "first", 2));
  today = D + 1;
  ASSERT_TRUE(m->WriteEntry("k", "second, longer", 30));  // the TTL given here is ignored
  EXPECT_EQ(m->ReadEntry("k"), "second, longer");
  EXPECT_EQ(ListFiles(box.Path("cache"), "*-*.dat").size(), 1u);
  m.reset();
  for (const auto& [day, served] : {std::pair{D + 3, true}, std::pair{D + 4, false}}) {
    auto later = Make();
    later->SetClock([day = day] { return day; });
    EXPECT_EQ(later->ReadEntry("k").has_value(), served) << day - D;
  }
}

TEST_F(CacheTest, HostileTablesAreSurvivedAndNothingOutsideTheFolderIsTouched) {
  const long long today = static_cast<long long>(Today());
  const std::string victim = box.WriteFile("victim.dat", "precious");
  const std::string absVictim = box.WriteFile("abs/victim.dat", "precious too");
  PutEntry(kGuidA, "good");
  const std::string goodEntry = Entry("good", kGuidA, 4, 5, today);
  const std::string good = Toc("1ur", "", goodEntry);
  const struct {
    const char* what;
    std::string toc;
    bool goodSurvives;
  } cases[] = {
      {"truncated", good.substr(0, good.size() / 2), false},
      {"garbage", "\x01\x02 not xml at all <<<", false},
      {"empty", "", false},
      {"wrong root", "<?xml version=\"1.0\"?><Other/>", false},
      {"relative climb",
       Toc("1ur", "",
           Entry("v", "../victim.dat", 8, 5, today) + goodEntry +
               Entry("w", "..\\victim.dat", 8, 5, 0)),
       true},
      {"absolute path", Toc("1ur", "", Entry("v", absVictim, 12, 5, 0) + goodEntry), true},
      {"bad numbers",
       Toc("1ur", "",
           Entry("n1", kGuidB, -5, 5, today) + "<E1 Code=\"n2\" FileName=\"" + kGuidB +
               "\" Size=\"12abc\" TTL=\"x\" Creation=\"1e99\"/>" + goodEntry +
               Entry("n3", kGuidB, 99999999999LL, 5, today)),
       true},
      {"invalid names",
       Toc("1ur", "",
           Entry("i1", "", 4, 5, today) + Entry("i2", "TOC.dat", 4, 5, today) + goodEntry),
       true},
  };
  for (const auto& c : cases) {
    WriteFileAtomic(File("TOC.dat"), c.toc);
    DeleteFile(File("TOC.bak"));
    {
      auto m = Make();
      EXPECT_EQ(m->ReadEntry("good").has_value(), c.goodSurvives) << c.what;
      for (const char* key : {"v", "w", "n1", "n2", "n3", "i1", "i2"}) {
        EXPECT_FALSE(m->DataExists(key)) << c.what << " " << key;
        EXPECT_FALSE(m->ReadEntry(key)) << c.what << " " << key;
      }
      EXPECT_FALSE(m->IsBroken()) << c.what;
      EXPECT_TRUE(m->WriteEntry("new", "new doc", 1)) << c.what;
      m->SweepOrphans(0);
      m->CleanupTOC_Internal(0);
    }
    EXPECT_EQ(box.ReadFile("victim.dat"), "precious") << c.what;
    EXPECT_EQ(box.ReadFile("abs/victim.dat"), "precious too") << c.what;
    // The table written back reads: a new manager sees the new entry.
    auto m = Make();
    EXPECT_EQ(m->ReadEntry("new"), "new doc") << c.what;
    m->FullTOCCleanup(box.Path("install"), false);
    EXPECT_EQ(box.ReadFile("victim.dat"), "precious") << c.what;
    EXPECT_EQ(box.ReadFile("abs/victim.dat"), "precious too") << c.what;
    PutEntry(kGuidA, "good");
  }
}

TEST_F(CacheTest, AnUnreadableTableFallsBackToThePreviousOne) {
  {
    auto m = Make();
    ASSERT_TRUE(m->WriteEntry("one", "first", 3));
    ASSERT_TRUE(m->WriteEntry("two", "second", 3));  // the save keeps the previous table as TOC.bak
  }
  auto bytes = ReadFileBytes(File("TOC.dat"));
  ASSERT_TRUE(bytes);
  WriteFileAtomic(File("TOC.dat"),
                  bytes->substr(0, bytes->size() / 3));  // torn by some other program
  auto m = Make();
  EXPECT_EQ(m->ReadEntry("one"), "first");
  EXPECT_FALSE(m->IsBroken());
}

TEST_F(CacheTest, SavesMergeAndEachProgramIsListedOnce) {
  auto a = Make();
  auto b = Make();
  a->SetProgramPath("/opt/a/prog");
  b->SetProgramPath("/opt/b/prog");
  a->SetSaveDelay(60000);
  b->SetSaveDelay(60000);
  EXPECT_FALSE(a->DataExists("x"));
  EXPECT_FALSE(b->DataExists("x"));
  EXPECT_TRUE(a->WriteEntry("from-a", "A", 1));
  EXPECT_TRUE(b->WriteEntry("from-b", "B", 1));
  EXPECT_TRUE(a->SaveTOC());
  EXPECT_TRUE(b->SaveTOC());
  EXPECT_TRUE(a->SaveTOC());
  a.reset();
  b.reset();
  auto doc = ReadTOC();
  auto users = doc.child("TableOfContents").child("CacheVersion").child("Users");
  EXPECT_EQ(std::distance(users.begin(), users.end()), 2);
  auto c = Make();
  EXPECT_EQ(c->ReadEntry("from-a"), "A");
  EXPECT_EQ(c->ReadEntry("from-b"), "B");
}

TEST_F(CacheTest, NewEntriesAreSavedSoonWithoutWaitingForDestruction) {
  auto m = std::make_unique<TQDSCacheManager>(Folder(), "host.test");
  m->SetSaveDelay(50);
  m->DataExists("x");
  ASSERT_TRUE(m->WriteEntry("soon", "saved", 1));
  const auto deadline = SteadyClock::now() + 10s;
  bool saved = false;
  while (!saved && SteadyClock::now() < deadline) {
    auto bytes = ReadFileBytes(File("TOC.dat"));
    saved = bytes && bytes->find("soon") != std::string::npos;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(saved);
}

TEST_F(CacheTest, VersionCleanupRemovesVersionsNoProgramUses) {
  const long long today = static_cast<long long>(Today());
  PutEntry(kGuidA, "old only mine");
  PutEntry(kGuidB, "old shared");
  PutEntry(kGuidC, "current");
  const std::string toc =
      "<?xml version=\"1.0\"?><TableOfContents>"
      "<CacheVersion Value=\"0UR\"><Users><P0 User=\"/me/prog\"/></Users><Hosts><Host0 "
      "Host=\"h\">" +
      Entry("a", kGuidA, 13, 5, today) +
      Entry("gone", "44444444-4444-4444-8444-444444444444.dat", 1, 5, today) +
      Entry("evil", "../victim.dat", 1, 5, today) +
      "</Host0></Hosts></CacheVersion>"
      "<CacheVersion Value=\"2ur\"><Users><P0 User=\"/me/prog\"/><P1 "
      "User=\"/other/prog\"/></Users><Hosts>"
      "<Host0 Host=\"h\">" +
      Entry("b", kGuidB, 10, 5, today) +
      "</Host0></Hosts></CacheVersion>"
      "<CacheVersion Value=\"1ur\"><Users><P0 User=\"/me/prog\"/></Users><Hosts><Host0 "
      "Host=\"host.test\">" +
      Entry("c", kGuidC, 7, 5, today) + "</Host0></Hosts></CacheVersion></TableOfContents>";
  WriteFileAtomic(File("TOC.dat"), toc);
  const std::string victim = box.WriteFile("victim.dat", "precious");
  auto m = Make();
  m->SetProgramPath("/me/prog");
  m->CleanupTOC_Internal(0);
  EXPECT_FALSE(FileExists(File(kGuidA)));
  EXPECT_TRUE(FileExists(File(kGuidB)));
  EXPECT_TRUE(FileExists(File(kGuidC)));
  EXPECT_EQ(box.ReadFile("victim.dat"), "precious");
  auto doc = ReadTOC();
  std::vector<std::string> versions;
  for (auto v : doc.child("TableOfContents").children("CacheVersion"))
    versions.push_back(v.attribute("Value").value());
  EXPECT_EQ(versions, (std::vector<std::string>{"2ur", "1ur"}));
  auto users = doc.child("TableOfContents").child("CacheVersion").child("Users");
  ASSERT_EQ(std::distance(users.begin(), users.end()), 1);
  EXPECT_STREQ(users.first_child().name(), "P0");
  EXPECT_STREQ(users.first_child().attribute("User").value(), "/other/prog");
  EXPECT_EQ(m->ReadEntry("c"), "current");
}

TEST_F(CacheTest, FullCleanupKeepsOnlyWhatOtherInstallationsUse) {
  const long long today = static_cast<long long>(Today());
  const std::string other = box.WriteFile("other/Terminal", "x");
  const std::string ours = box.WriteFile("install/Terminal", "x");
  for (const auto& g : {kGuidA, kGuidB, kGuidC}) PutEntry(g, "doc");
  box.WriteFile("cache/stray.dat", "stray");
  box.WriteFile("cache/notes.txt", "kept");
  auto version = [&](const std::string& value, const std::string& user, const std::string& file) {
    return "<CacheVersion Value=\"" + value + "\"><Users><P0 User=\"" + user +
           "\"/></Users><Hosts><Host0 Host=\"h\">" + Entry("k", file, 3, 5, today) +
           "</Host0></Hosts></CacheVersion>";
  };
  WriteFileAtomic(File("TOC.dat"),
                  "<?xml version=\"1.0\"?><TableOfContents>" + version("1ur", other, kGuidA) +
                      version("2ur", ours, kGuidB) +
                      version("3ur", box.Path("gone/Terminal"), kGuidC) + "</TableOfContents>");
  auto m = Make();
  const auto keep = m->FullTOCCleanup(box.Path("install"), false);
  EXPECT_EQ(keep, (std::vector<std::string>{"TOC.dat", kGuidA}));
  EXPECT_TRUE(FileExists(File(kGuidA)));
  EXPECT_FALSE(FileExists(File(kGuidB)));
  EXPECT_FALSE(FileExists(File(kGuidC)));
  EXPECT_FALSE(FileExists(File("stray.dat")));
  EXPECT_TRUE(FileExists(File("notes.txt")));
  auto doc = ReadTOC();  // written back, pruned
  auto root = doc.child("TableOfContents");
  EXPECT_EQ(std::distance(root.begin(), root.end()), 1);
  EXPECT_STREQ(root.child("CacheVersion").attribute("Value").value(), "1ur");
}

TEST_F(CacheTest, CleanQDSCacheCleansTheDefaultFolder) {
  const std::string folder = TQDSCacheManager::DefaultFolder();
  ASSERT_EQ(folder.rfind(box.Root(), 0), 0u) << folder;
  EXPECT_EQ(folder.substr(folder.size() - 15), "/TARVO/QDSData/");
  const std::string other = box.WriteFile("other/Terminal", "x");
  ForceDirectories(folder);
  WriteFileAtomic(folder + kGuidA, CacheDeflate("a"));
  WriteFileAtomic(folder + kGuidB, CacheDeflate("b"));
  WriteFileAtomic(
      folder + "TOC.dat",
      "<?xml version=\"1.0\"?><TableOfContents><CacheVersion Value=\"1ur\"><Users><P0 User=\"" +
          other + "\"/></Users><Hosts><Host0 Host=\"h\">" + Entry("a", kGuidA, 1, 5, 0) +
          "</Host0></Hosts></CacheVersion><CacheVersion Value=\"0ur\"><Users><P0 User=\"" +
          ExecutablePath() + "\"/></Users><Hosts><Host0 Host=\"h\">" + Entry("b", kGuidB, 1, 5, 0) +
          "</Host0></Hosts></CacheVersion></TableOfContents>");
  CleanQDSCache();
  EXPECT_TRUE(FileExists(folder + kGuidA));
  EXPECT_FALSE(FileExists(folder + kGuidB));
}

TEST(CacheSize, TextsFollowTheUnitRules) {
  const struct {
    std::uint64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 B"},           {1000, "1000 B"},    {1024, "1024 B"},    {1034, "1.01 KB"},
      {5000, "4.88 KB"},    {50000, "48.8 KB"},  {500000, "488 KB"},  {2000000, "1.91 MB"},
      {1048575, "1023 KB"}, {1023999, "999 KB"}, {10239, "10.00 KB"}, {3000000000ULL, "2.79 GB"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TQDSCacheManager::FormatCacheSize(c.bytes), c.text) << c.bytes;
}

TEST_F(CacheTest, SizeRequestsRunOnTheWorkerAndCanBeSkipped) {
  auto m = Make();
  EXPECT_EQ(m->GetCacheSize_Internal(0), "-");  // no folder yet
  m->DataExists("x");
  ASSERT_TRUE(m->WriteEntry("k", std::string(5000, 'z'), 1));
  std::atomic<int> calls{0};
  std::string text;
  std::mutex lock;
  m->RequestSize([&](const std::string& t) {
    std::lock_guard g(lock);
    text = t;
    ++calls;
  });
  m->WaitIdle();
  EXPECT_EQ(calls.load(), 1);
  {
    std::lock_guard g(lock);
    EXPECT_NE(text, "-");
    EXPECT_NE(text.find("B"), std::string::npos);
  }
  m->RequestSize([&](const std::string&) { ++calls; });
  m->SkipSizeCalculation();
  m->WaitIdle();
  EXPECT_EQ(calls.load(), 1) << "a skipped size request completes without calling back";
}

TEST_F(CacheTest, TheNewestWaitingTaskRunsNext) {
  auto m = Make();
  std::mutex lock;
  std::vector<std::string> order;
  auto record = [&](const std::string& name) {
    return [&, name](const std::string&) {
      std::lock_guard g(lock);
      order.push_back(name);
    };
  };
  m->CleanupTOC();  // runs first and waits 2 s: the next two queue behind it
  m->RequestSize(record("first"));
  m->RequestSize(record("second"));
  m->WaitIdle();
  std::lock_guard g(lock);
  EXPECT_EQ(order, (std::vector<std::string>{"second", "first"}));
}

TEST_F(CacheTest, SweepRemovesOnlyOldUnnamedEntryFiles) {
  auto m = Make();
  m->DataExists("x");
  ASSERT_TRUE(m->WriteEntry("k", "named", 3));
  PutEntry(kGuidA, "old orphan");
  PutEntry(kGuidB, "young orphan");
  box.WriteFile("cache/other.dat", "not ours");
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 5);
  std::filesystem::last_write_time(File(kGuidA), old);
  std::filesystem::last_write_time(File("other.dat"), old);
  EXPECT_EQ(m->SweepOrphans(), 1u);  // longest TTL 3 + 1 day
  EXPECT_FALSE(FileExists(File(kGuidA)));
  EXPECT_TRUE(FileExists(File(kGuidB)));
  EXPECT_TRUE(FileExists(File("other.dat")));
  EXPECT_EQ(m->ReadEntry("k"), "named");
  m->RequestSweep(0);
  m->WaitIdle();
  EXPECT_FALSE(FileExists(File(kGuidB)));
  EXPECT_EQ(m->ReadEntry("k"), "named");
}

TEST_F(CacheTest, ClearEmptiesTheFolderAndTheLockStillWorks) {
  auto m = Make();
  m->DataExists("x");
  ASSERT_TRUE(m->WriteEntry("k", "doc", 1));
  EXPECT_TRUE(m->Clear());
  EXPECT_TRUE(ListFiles(box.Path("cache")).empty());
  EXPECT_TRUE(m->Lock());
  EXPECT_TRUE(m->Lock());  // the same thread may take it again
  m->Unlock();
  m->Unlock();
  EXPECT_FALSE(m->IsBroken());
}

TEST_F(CacheTest, TableIsSafeFromSeveralThreads) {
  auto m = Make();
  m->SetSaveDelay(20);
  m->DataExists("x");
  std::vector<std::thread> threads;
  std::atomic<int> torn{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 60; ++i) {
        const std::string key = "k" + std::to_string((i + t) % 6);
        if (i % 2)
          m->WriteEntry(key, cachetest::MakePayload(key, t, i), 1);
        else if (auto d = m->ReadEntry(key); d && !cachetest::PayloadValid(key, *d))
          ++torn;
        if (i % 20 == 0) m->RequestSize(nullptr);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_FALSE(m->IsBroken());
}

// --- between processes ------------------------------------------------------------------

TEST_F(CacheTest, LockHeldTooLongMakesTheCacheBrokenAndADeadHolderFreesIt) {
  auto holder = Helper("hold \"" + Folder() + "\" 11000 \"" + box.Path("ready") + "\"");
  ASSERT_TRUE(AwaitFile(box.Path("ready")));
  auto m = Make();
  const auto t0 = SteadyClock::now();
  EXPECT_FALSE(m->DataExists("k"));
  const auto waited = SteadyClock::now() - t0;
  EXPECT_TRUE(m->IsBroken());
  EXPECT_GE(waited, 9500ms);
  EXPECT_LT(waited, 10900ms);
  EXPECT_FALSE(m->FileStream("k", TCacheStreamMode::Create, true, 1));
  holder->Wait(15000);

  auto killed = Helper("hold \"" + Folder() + "\" 60000 \"" + box.Path("ready2") + "\"");
  ASSERT_TRUE(AwaitFile(box.Path("ready2")));
  killed->Terminate();
  killed->Wait(5000);
  auto fresh = Make();
  const auto t1 = SteadyClock::now();
  EXPECT_TRUE(fresh->Lock());
  EXPECT_LT(SteadyClock::now() - t1, 2s);
  fresh->Unlock();
  EXPECT_FALSE(fresh->IsBroken());
}

TEST_F(CacheTest, FourProcessesShareTheCacheWithoutTornData) {
  std::vector<std::unique_ptr<Process>> children;
  for (int w = 1; w <= 4; ++w)
    children.push_back(Helper("stress \"" + Folder() + "\" " + std::to_string(w) + " 500"));
  for (auto& c : children) {
    ASSERT_EQ(c->Wait(240000), WaitResult::Signaled);
    EXPECT_EQ(c->ExitCode(), 0u);
  }
  auto m = Make();
  m->DataExists("x");
  const std::size_t entries = m->EntryCount();
  EXPECT_GE(entries, 8u);
  std::size_t valid = 0;
  auto doc = ReadTOC();
  for (auto e :
       doc.child("TableOfContents").child("CacheVersion").child("Hosts").first_child().children()) {
    const std::string code = e.attribute("Code").value();
    if (code.empty()) continue;
    auto d = m->ReadEntry(code);
    ASSERT_TRUE(d) << code;
    EXPECT_TRUE(cachetest::PayloadValid(code, *d)) << code;
    ++valid;
  }
  EXPECT_EQ(valid, entries);
  m->SweepOrphans(0);
  EXPECT_EQ(ListFiles(box.Path("cache"), "*.dat").size(), entries + 1);  // + TOC.dat
}

TEST_F(CacheTest, KilledWritersNeverLeaveTornData) {
  int cycles = 300;
  if (const char* env = std::getenv("TARVO_CACHE_CRASH_CYCLES"))
    cycles = std::max(1, std::atoi(env));
  std::mt19937 rng(12345);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    auto child = Helper("crash \"" + Folder() + "\" " + std::to_string(cycle));
    ASSERT_TRUE(child);
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng() % 60));
    child->Terminate();
    ASSERT_EQ(child->Wait(10000), WaitResult::Signaled);
    ASSERT_NE(child->ExitCode(), 3u) << "cycle " << cycle << ": torn read in the child";
    if (auto bytes = ReadFileBytes(File("TOC.dat"))) {
      pugi::xml_document doc;
      ASSERT_TRUE(doc.load_buffer(bytes->data(), bytes->size())) << "cycle " << cycle;
    }
    auto m = Make();
    for (int k = 0; k < 8; ++k) {
      for (const std::string& key : {"shared-" + std::to_string(k), "w1-" + std::to_string(k)}) {
        auto d = m->ReadEntry(key);
        ASSERT_TRUE(!d || cachetest::PayloadValid(key, *d)) << "cycle " << cycle << " " << key;
      }
    }
    ASSERT_FALSE(m->IsBroken()) << "cycle " << cycle;
  }
}
