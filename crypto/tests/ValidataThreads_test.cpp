// The class-wide settings lock: providers created and freed on many threads
// never overlap inside the library's initialisation; Lock held by one thread
// holds creation off on others; Lock and creation nest on one thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "crypto/tests/ValidataFixture.h"

namespace tarvo::cryptotest {
namespace {

using ThreadTest = ValidataTest;

TEST_F(ThreadTest, EightThreadsCreateAndFreeProvidersOneInitialisationAtATime) {
  auto paths = Store("main");
  WriteProfiles(dllZPKI, {{"Main", paths.basePath, "", "", ""}});
  std::atomic<int> created{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 4; ++i) {
        try {
          auto p = TValidataCryptoProvider::CreateLocal("Main");
          if (p->SessionCertificate()) ++created;
        } catch (const std::exception&) {
          ++failed;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(created.load(), 32);
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(control->MaxConcurrentInitialize(), 1u);
}

TEST_F(ThreadTest, LockHeldByOneThreadHoldsCreationOffOnAnother) {
  auto paths = Store("main");
  WriteProfiles(dllZPKI, {{"Main", paths.basePath, "", "", ""}});
  std::atomic<bool> done{false};
  TValidataSettings::Lock();
  std::thread creator([&] {
    auto p = TValidataCryptoProvider::CreateLocal("Main");
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(done.load());
  EXPECT_EQ(control->OpenContexts(), contextsBaseline);
  TValidataSettings::UnLock();
  creator.join();
  EXPECT_TRUE(done.load());
}

TEST_F(ThreadTest, LockAndCreationNestOnOneThread) {
  auto paths = Store("main");
  WriteProfiles(dllZPKI, {{"Main", paths.basePath, "", "", ""}});
  TValidataSettings::Lock();
  {
    auto p = TValidataCryptoProvider::CreateLocal("Main");
    auto d = p->Duplicate();
  }
  TValidataSettings::UnLock();
  EXPECT_EQ(control->OpenContexts(), contextsBaseline);
}

TEST_F(ThreadTest, CatalogueIsBuiltOnceWhenThreadsAskTogether) {
  auto key = platform::RegistryKey::Create(platform::RegRoot::CurrentUser,
                                           std::string(TValidataSettings::OIDsKey(dllZPKI)) + "a");
  key->WriteString("OID", "1.2.3");
  key->WriteString("SN", "abc");
  std::vector<std::shared_ptr<const TValidataExtKeyUsages>> got(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      got[static_cast<std::size_t>(t)] = TValidataSettings::ValidataExtKeyUsages(ptGost);
    });
  for (auto& t : threads) t.join();
  for (const auto& c : got) EXPECT_EQ(c.get(), got[0].get());
  EXPECT_EQ(got[0]->at("1.2.3").ShortName, "abc");
}

}  // namespace
}  // namespace tarvo::cryptotest
