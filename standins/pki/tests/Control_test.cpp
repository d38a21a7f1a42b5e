// The control interface: failure injection, scripted error stacks, exact
// allocation counts, concurrency inside initialisation, call records.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "standins/pki/tests/StandinApi.h"
#include "testing/Sandbox.h"

namespace tarvo::pkitest {
namespace {

class PkiControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    api = std::make_unique<StandinApi>(ScenarioLibraryPath(Scenario::Both));
    control = std::make_unique<PkiControl>(ScenarioLibraryPath(Scenario::Both));
    control->Reset();
    paths = LayoutStore(box.Path("store"));
    ASSERT_EQ(api->OpenLocal(paths, &ctx), 0u);
  }
  void TearDown() override {
    if (ctx != nullptr) api->Uninitialize(ctx);
    control->Reset();
  }

  TVcertStatus FindAll(TFindResult& found) {
    TFindParams p{};
    p.Info = VCERT_ALL_FIELDS;
    found = TFindResult{};
    return api->FindCert(ctx, &p, &found);
  }

  void Release(TFindResult& found) {
    for (std::uint32_t i = 0; i < found.Num; ++i) api->FreeCert(ctx, &found.Certs[i]);
    api->FreeMem(ctx, found.Certs);
    found = TFindResult{};
  }

  testing::Sandbox box;
  std::unique_ptr<StandinApi> api;
  std::unique_ptr<PkiControl> control;
  StorePaths paths;
  TVcertContext ctx = nullptr;
};

TEST_F(PkiControlTest, FailsTheNthCallOfAnEntry) {
  control->FailCall("VCERT_FindCert", 2, 0xE0701234);
  TFindResult found;
  EXPECT_EQ(FindAll(found), 0u);
  Release(found);
  EXPECT_EQ(FindAll(found), 0xE0701234u);
  EXPECT_EQ(found.Num, 0u);
  // The injected failure is on the context's error stack like a real one.
  char text[256] = {};
  TMemBlk file{}, extra{};
  std::uint32_t line = 0;
  ASSERT_EQ(api->GetErrorLineEx(ctx, text, sizeof text, &file, &line, &extra), 0u);
  EXPECT_NE(std::string(text).find("VCERT_FindCert"), std::string::npos);
  EXPECT_EQ(FindAll(found), 0u);  // only the second
  Release(found);
  EXPECT_EQ(control->CallCount("FindCert"), 3u);

  // A refused release keeps the context; the next one releases it.
  control->FailCall("Uninitialize", 1, 0xE0705678);
  TVcertContext copy = api->DuplicateContext(ctx);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(control->OpenContexts(), 2);
  EXPECT_EQ(api->Uninitialize(copy), 0xE0705678u);
  EXPECT_EQ(control->OpenContexts(), 2);
  EXPECT_EQ(api->Uninitialize(copy), 0u);
  EXPECT_EQ(control->OpenContexts(), 1);

  control->FailCall("AllocMem", 0, 1);  // every call; no status to give: null
  EXPECT_EQ(api->AllocMem(ctx, 16), nullptr);
  EXPECT_EQ(api->AllocMem(ctx, 16), nullptr);
  EXPECT_THROW(control->FailCall("VCERT_NoSuchEntry", 1, 1), std::invalid_argument);
  EXPECT_THROW(control->CallCount("NoSuchEntry"), std::invalid_argument);
}

TEST_F(PkiControlTest, AllocationCountIsExact) {
  // Records are released field by field: the count must come back exactly.
  const std::int64_t before = control->LiveAllocations();
  TFindResult found;
  ASSERT_EQ(FindAll(found), 0u);
  EXPECT_GT(control->LiveAllocations(),
            before + 12 * 5);  // the array and each record's strings and blocks
  for (std::uint32_t i = 0; i < found.Num; ++i) api->FreeCert(ctx, &found.Certs[i]);
  EXPECT_EQ(control->LiveAllocations(), before + 1);  // only the array remains
  api->FreeMem(ctx, found.Certs);
  EXPECT_EQ(control->LiveAllocations(), before);

  void* block = api->AllocMem(ctx, 100);
  EXPECT_EQ(control->LiveAllocations(), before + 1);
  api->FreeMem(ctx, block);
  EXPECT_EQ(control->LiveAllocations(), before);
  EXPECT_EQ(control->UnknownFrees(), 0);
  int local = 0;
  api->FreeMem(ctx, &local);   // never the library's
  api->FreeMem(ctx, block);    // released twice
  api->FreeMem(ctx, nullptr);  // nothing
  EXPECT_EQ(control->UnknownFrees(), 2);
  EXPECT_EQ(control->LiveAllocations(), before);

  // Contexts and connections count too.
  TVcertContext copy = api->DuplicateContext(ctx);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(control->LiveAllocations(), before + 1);
  EXPECT_EQ(control->OpenContexts(), 2);
  api->Uninitialize(copy);
  EXPECT_EQ(control->LiveAllocations(), before);

  // A late release through a context that is gone is seen, not silently taken.
  EXPECT_EQ(control->ClosedContextCalls(), 0);
  TCertificate empty{};
  api->FreeCert(copy, &empty);
  EXPECT_EQ(control->ClosedContextCalls(), 1);
  api->FreeCert(ctx, &empty);
  EXPECT_EQ(control->ClosedContextCalls(), 1);
}

TEST_F(PkiControlTest, ScriptedErrorStackEndsAndStartsOver) {
  control->ScriptErrorStack({{"sign.c", 10, "first", "extra data"}, {"core.c", 20, "second", ""}});
  char text[64];
  TMemBlk file{}, extra{};
  std::uint32_t line = 0;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(api->GetErrorLineEx(ctx, text, sizeof text, &file, &line, &extra), 0u);
    EXPECT_STREQ(text, "first");
    EXPECT_EQ(Bytes(file), "sign.c");
    EXPECT_EQ(line, 10u);
    EXPECT_EQ(Bytes(extra), "extra data");
    ASSERT_EQ(api->GetErrorLineEx(ctx, text, sizeof text, &file, &line, &extra), 0u);
    EXPECT_STREQ(text, "second");
    EXPECT_EQ(extra.len, 0u);
    EXPECT_NE(api->GetErrorLineEx(ctx, text, sizeof text, &file, &line, &extra), 0u);
  }
}

TEST_F(PkiControlTest, EndlessStackAndOverlongTexts) {
  control->ScriptErrorStack({{"loop.c", 1, "again", ""}});
  control->ScriptEndlessErrorStack();
  char text[16];
  TMemBlk file{}, extra{};
  std::uint32_t line = 0;
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(api->GetErrorLineEx(ctx, text, sizeof text, &file, &line, &extra), 0u);

  control->ScriptOverlongErrorText();
  char guarded[40];
  std::memset(guarded, '#', sizeof guarded);
  ASSERT_EQ(api->GetErrorLineEx(ctx, guarded, 32, &file, &line, &extra), 0u);
  EXPECT_EQ(std::memchr(guarded, '\0', 32), nullptr);  // filled, no terminator
  EXPECT_EQ(guarded[32], '#');                         // and not beyond the buffer
  std::memset(guarded, '#', sizeof guarded);
  api->GetErrorText(kStatusNotFound, guarded, 32);
  EXPECT_EQ(std::memchr(guarded, '\0', 32), nullptr);
  EXPECT_EQ(guarded[32], '#');

  control->Reset();  // back to the real, empty stack and terminated texts
  EXPECT_NE(api->GetErrorLineEx(ctx, text, sizeof text, &file, &line, &extra), 0u);
  EXPECT_EQ(api->Text(kStatusNotFound), "Certificate not found");
}

TEST_F(PkiControlTest, SeesConcurrentInitialisation) {
  auto openAll = [&](std::mutex* serialise) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < 6; ++i)
      threads.emplace_back([&] {
        ready.fetch_add(1);
        while (ready.load() < 6) std::this_thread::yield();
        TVcertContext c = nullptr;
        std::unique_lock<std::mutex> lock;
        if (serialise != nullptr) lock = std::unique_lock<std::mutex>(*serialise);
        if (api->OpenLocal(paths, &c) != 0) failures.fetch_add(1);
        if (lock.owns_lock()) lock.unlock();
        if (c != nullptr) api->Uninitialize(c);
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
  };
  control->Reset();
  std::mutex one;
  openAll(&one);
  EXPECT_EQ(control->MaxConcurrentInitialize(), 1u);
  control->Reset();
  openAll(nullptr);
  EXPECT_GE(control->MaxConcurrentInitialize(), 2u);
  EXPECT_EQ(control->CallCount("InitializeEx"), 6u);
}

TEST_F(PkiControlTest, RecordsCallsWithoutSecrets) {
  api->Uninitialize(ctx);
  ctx = nullptr;
  control->Reset();
  ASSERT_EQ(api->OpenLocal(paths, &ctx, "1234-secret-pin"), 0u);
  const std::string init = control->LastCall("VCERT_InitializeEx");
  EXPECT_NE(init.find("mode=1\n"), std::string::npos);
  EXPECT_NE(init.find("size=40\n"), std::string::npos);
  EXPECT_NE(init.find("pse=" + paths.pse + "\n"), std::string::npos);
  EXPECT_NE(init.find("localstore=" + paths.localStore + "\n"), std::string::npos);
  EXPECT_NE(init.find("ldap=" + paths.ldap + "\n"), std::string::npos);
  EXPECT_NE(init.find("pin=<set>"), std::string::npos);
  EXPECT_EQ(init.find("1234-secret-pin"), std::string::npos);

  TFindResult found;
  ASSERT_EQ(FindAll(found), 0u);
  Release(found);
  const std::vector<std::string> trace = control->CallTrace();
  const std::vector<std::string> expectedStart = {"VCERT_InitializeEx", "VCERT_FindCert",
                                                  "VCERT_FreeCert"};
  ASSERT_GE(trace.size(), 3u + 12u);
  EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 3), expectedStart);
  EXPECT_EQ(trace.back(), "VCERT_FreeMem");
  EXPECT_NE(control->LastCall("FindCert").find("info=0x7ffff"), std::string::npos);
  EXPECT_EQ(control->LastCall("Uninitialize"), "");
}

}  // namespace
}  // namespace tarvo::pkitest
