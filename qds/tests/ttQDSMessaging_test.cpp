// The message channel, entities, the request log, health and the manager's
// life cycle. The test thread is the UI thread; workers are real threads that
// never touch the network here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <thread>

#include "qds/tests/QdsCoreTestSupport.h"

namespace tarvo {
namespace {

using coretest::ConfigFixture;
using coretest::TestDoc;
using coretest::TestManager;

std::intptr_t AsParam(void* p) {
  return reinterpret_cast<std::intptr_t>(p);
}

std::unique_ptr<TQDSLogEntry> LogEntry(const std::string& url, std::uint32_t start,
                                       const std::string& reason, const std::string& headers,
                                       std::uint32_t parsingEnded = 0) {
  TQDSEntry e(0, "TTestDoc", TDataFlag::ldWeb, TJobFlags());
  e.InitialURL = url;
  e.DownloadStartedAt = start;
  e.ParsingEndedAt = parsingEnded;
  e.Reason = reason;
  auto log = std::make_unique<TQDSLogEntry>(&e);
  log->SetAllHeaders(headers);
  return log;
}

TEST(MessageNamesTest, FamiliesAndTexts) {
  EXPECT_STREQ(MessageNames[0], "Download Progress");
  EXPECT_STREQ(MessageNames[static_cast<int>(TQDSMessageParam::mpPostingException)],
               "Posting fail");
  EXPECT_STREQ(MessageNames[static_cast<int>(TQDSMessageParam::mpCountOnliners)],
               "Count subscribers");
  EXPECT_STREQ(MessageNames[static_cast<int>(TQDSMessageParam::mpSettingsChanged)],
               "Settings Changed");
  EXPECT_STREQ(MessageNames[QDSMessageParamCount - 1], "something");
  struct Case {
    TRequestMethod m;
    TQDSMessageParam success, exception, stopped;
  } cases[] = {
      {TRequestMethod::mGet, TQDSMessageParam::mpFeedingSuccess,
       TQDSMessageParam::mpFeedingException, TQDSMessageParam::mpFeedingStopped},
      {TRequestMethod::mUnknown, TQDSMessageParam::mpFeedingSuccess,
       TQDSMessageParam::mpFeedingException, TQDSMessageParam::mpFeedingStopped},
      {TRequestMethod::mPost, TQDSMessageParam::mpPostingSuccess,
       TQDSMessageParam::mpPostingException, TQDSMessageParam::mpPostingStopped},
      {TRequestMethod::mPut, TQDSMessageParam::mpPuttingSuccess,
       TQDSMessageParam::mpPuttingException, TQDSMessageParam::mpPuttingStopped},
      {TRequestMethod::mDelete, TQDSMessageParam::mpDeletingSuccess,
       TQDSMessageParam::mpDeletingException, TQDSMessageParam::mpDeletingStopped},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SuccessMessage(c.m), c.success);
    EXPECT_EQ(ExceptionMessage(c.m), c.exception);
    EXPECT_EQ(StoppedMessage(c.m), c.stopped);
    if (c.m != TRequestMethod::mUnknown) {
      EXPECT_EQ(MessageMethod(c.success), c.m);
      EXPECT_EQ(MessageMethod(c.exception), c.m);
      EXPECT_EQ(MessageMethod(c.stopped), c.m);
    }
  }
  EXPECT_EQ(MessageMethod(TQDSMessageParam::mpLogEntry), TRequestMethod::mUnknown);
  EXPECT_EQ(MessageMethod(TQDSMessageParam::mpCriticalError), TRequestMethod::mUnknown);
}

class MessagingTest : public ConfigFixture {};

TEST_F(MessagingTest, LogEntriesTravelAsMessagesAndOutdatedSessionsAreReleased) {
  TestManager m;
  m.Startup();
  ASSERT_NE(m.LogEntity(), nullptr);
  const std::uint8_t s0 = m.MessageSession();
  // From another thread, as a worker posts.
  std::thread([&] {
    m.TQDSMessageManager::PostMessage(TQDSMessageParam::mpLogEntry,
                                      AsParam(LogEntry("a/1", 1, "r", "h").release()), 0);
  }).join();
  EXPECT_EQ(m.UnprocessedMessagesCount(), 1);
  ASSERT_TRUE(Pump([&] { return m.LogEntity()->Count() == 1; }));
  EXPECT_EQ(m.UnprocessedMessagesCount(), 0);

  // Posted in the old session, arriving after the change: released, which
  // for a log entry still merges it, but it is not processed.
  m.TQDSMessageManager::PostMessage(TQDSMessageParam::mpLogEntry,
                                    AsParam(LogEntry("a/2", 2, "r", "h").release()), s0);
  m.TQDSMessageManager::PostMessage(TQDSMessageParam::mpPassport, 1, s0);
  m.ChangeSession();
  m.TQDSMessageManager::PostMessage(TQDSMessageParam::mpRestarted, 0, s0);
  m.processed.clear();
  m.released.clear();
  ASSERT_TRUE(Pump([&] { return m.released.size() == 2 && !m.processed.empty(); }));
  EXPECT_EQ(m.released[0].first, TQDSMessageParam::mpLogEntry);
  EXPECT_EQ(m.released[1].first, TQDSMessageParam::mpPassport);
  EXPECT_FALSE(m.PassportPermits());
  // mpRestarted is processed in any session.
  ASSERT_EQ(m.processed.size(), 1u);
  EXPECT_EQ(m.processed[0].first, TQDSMessageParam::mpRestarted);
  // Session 0 stands for "the current one" when posting, so no session is 0.
  for (int i = 0; i < 300; ++i) {
    m.ChangeSession();
    ASSERT_NE(m.MessageSession(), 0);
  }
  m.Terminate();
  m.Shutdown();
  m.BeforeDestruction();
}

TEST_F(MessagingTest, ACancelledMessageIsNeitherProcessedNorReleased) {
  TestManager m;
  auto entry = LogEntry("x", 1, "r", "");
  m.TQDSMessageManager::PostMessage(TQDSMessageParam::mpLogEntry, AsParam(entry.get()), 0);
  m.CancelMessage(TQDSMessageParam::mpLogEntry, AsParam(entry.get()));
  EXPECT_EQ(m.UnprocessedMessagesCount(), 0);
  PumpFor(50);
  EXPECT_TRUE(m.processed.empty());
  EXPECT_TRUE(m.released.empty());
  // The caller owns the entry again (unique_ptr frees it; ASan sees a double free otherwise).
  m.BeforeDestruction();
}

TEST_F(MessagingTest, QueuedObjectsAreReleasedInPostingOrderWhenTheManagerGoes) {
  std::vector<int> freed;
  struct CountingEntry : TQDSLogEntry {
    std::vector<int>* order;
    int id;
    CountingEntry(std::vector<int>* o, int i) : order(o), id(i) {}
    ~CountingEntry() override { order->push_back(id); }
  };
  {
    TestManager m;
    std::vector<CountingEntry*> entries;
    for (int i = 0; i < 6; ++i) {
      entries.push_back(new CountingEntry(&freed, i));
      m.TQDSMessageManager::PostMessage(TQDSMessageParam::mpLogEntry, AsParam(entries.back()), 0);
    }
    // Numbers and refreshes need no copy.
    m.TQDSMessageManager::PostMessage(TQDSMessageParam::mpDownloadProgress, 4096, 0);
    m.TQDSMessageManager::PostMessage(TQDSMessageParam::mpLogEntry, 0, 0);
    EXPECT_EQ(m.UnprocessedMessagesCount(), 6);
    // A cancelled message is the caller's again; the others keep their order.
    m.CancelMessage(TQDSMessageParam::mpLogEntry, AsParam(entries[1]));
    delete entries[1];
    EXPECT_EQ(m.UnprocessedMessagesCount(), 5);
    m.BeforeDestruction();
    EXPECT_EQ(m.released.size(), 5u);
    EXPECT_TRUE(m.processed.empty());
  }
  EXPECT_EQ(freed, (std::vector<int>{1, 0, 2, 3, 4, 5}));
  PumpFor(20);  // the window is gone: nothing arrives
}

TEST_F(MessagingTest, UpdatesForFreedEntitiesDoNothing) {
  TestManager m;
  auto* doc = new TestDoc(&m, "/qds/index.json");
  int events = 0;
  TWebEntityLink link;
  link.SetOnHandle([&](TWebEventReason e) { events += e == TWebEventReason::wevStatusChange; });
  link.SetEntity(doc);
  std::thread([&] { doc->Handle(TWebAction::acInsertBlock, TDataFlag::ldWeb, 0); }).join();
  ASSERT_TRUE(Pump([&] { return events == 1; }));
  std::thread([&] { doc->Handle(TWebAction::acInsertBlock, TDataFlag::ldWeb, 0); }).join();
  TWebEntity::Free(doc);
  EXPECT_EQ(link.Entity(), nullptr);
  PumpFor(50);
  EXPECT_EQ(events, 1);
  ASSERT_FALSE(m.processed.empty());
  EXPECT_EQ(m.processed.back().first, TQDSMessageParam::mpHandleUpdate);
  m.BeforeDestruction();
}

// A document whose storage is one fixed slot: the next one made after a
// free lives at the address of the one freed, as a busy allocator would give.
class TSlotDoc : public TestDoc {
 public:
  using TestDoc::TestDoc;
  static void* operator new(std::size_t size) {
    EXPECT_LE(size, sizeof(gSlot));
    EXPECT_FALSE(gSlotUsed) << "two slot documents at once";
    gSlotUsed = true;
    return gSlot;
  }
  static void operator delete(void*) noexcept { gSlotUsed = false; }

 private:
  alignas(std::max_align_t) static inline unsigned char gSlot[4096];
  static inline bool gSlotUsed = false;
};

TEST_F(MessagingTest, MessagesForAFreedEntityNeverReachANewOneAtItsAddress) {
  TestManager m;
  auto* old = new TSlotDoc(&m, "/qds/a.json");
  std::thread([&] { old->Handle(TWebAction::acInsertBlock, TDataFlag::ldWeb, 0); }).join();
  m.FreeEntityInMainThread(old);
  // Freed at once, before the update and the free request above arrive.
  TWebEntity::Free(old);

  auto* fresh = new TSlotDoc(&m, "/qds/b.json");
  ASSERT_EQ(static_cast<void*>(fresh), static_cast<void*>(old));
  EXPECT_NE(fresh->Id(), 0u);
  int updates = 0;
  TWebEntityLink link;
  link.SetEntity(fresh);
  link.SetOnHandle([&](TWebEventReason e) { updates += e == TWebEventReason::wevStatusChange; });
  // Both arrive: the update is processed, the free request goes through the
  // release path (both name the old entity).
  ASSERT_TRUE(Pump([&] { return !m.processed.empty() && !m.released.empty(); }));
  EXPECT_TRUE(m.ValidEntity(fresh)) << "the old entity's pending free took the new one";
  EXPECT_EQ(updates, 0) << "the old entity's pending update reached the new one";
  // The new entity's own messages still find it.
  std::thread([&] { fresh->Handle(TWebAction::acInsertBlock, TDataFlag::ldWeb, 0); }).join();
  ASSERT_TRUE(Pump([&] { return updates == 1; }));
  m.FreeEntityInMainThread(fresh);
  ASSERT_TRUE(Pump([&] { return !m.ValidEntity(fresh); }));
  EXPECT_EQ(link.Entity(), nullptr);
  m.BeforeDestruction();
}

TEST_F(MessagingTest, MainThreadCallsFromAWorkerAreRefusedInCheckedBuilds) {
  if (!platform::kThreadChecks)
    GTEST_SKIP() << "thread rules are checked under the sanitizer presets only";
  TestManager m;
  auto* doc = new TestDoc(&m, "/qds/index.json");
  std::string thrown;
  std::thread([&] {
    try {
      m.AddDownloadJob("from a worker", doc, false);
    } catch (const std::logic_error& e) {
      thrown = e.what();
    }
  }).join();
  EXPECT_NE(thrown.find("TWebEntityManager::AddGenericJob called on the wrong thread"),
            std::string::npos)
      << thrown;
  TWebEntity::Free(doc);
  m.BeforeDestruction();
}

TEST_F(MessagingTest, EntityRules) {
  TestManager m;
  EXPECT_THROW(TestDoc(nullptr, "/x"), EInvalidCast);
  auto* doc = new TestDoc(&m, "/qds/index.json");
  EXPECT_TRUE(m.ValidEntity(doc));
  EXPECT_EQ(doc->GetName(), "TestDoc");
  EXPECT_EQ(doc->LastCallerOrName(), "TestDoc");
  doc->fLastCaller = "Chart: SBER ";
  EXPECT_EQ(doc->LastCallerForDisplay(), "SBER");
  EXPECT_EQ(doc->LastCallerOrName(), "SBER");
  EXPECT_EQ(doc->MaxFailsAllowed(), config->MaxFails());
  try {
    doc->Links().Get(0);
    FAIL() << "no error";
  } catch (const EQDSException& e) {
    EXPECT_STREQ(e.what(), "Got no link at 0");
  }
  // Links: each observer hears of the source change, also when it is detached.
  std::vector<TWebEventReason> seen;
  TWebEntityLink a, b;
  a.SetOnHandle([&](TWebEventReason e) { seen.push_back(e); });
  a.SetEntity(doc);
  b.SetEntity(doc);
  ASSERT_EQ(doc->Links().Count(), 2);
  doc->RaiseEvent(TWebEventReason::wevRecordInsert);
  // Freeing off the main thread is refused and changes nothing.
  std::thread([&] { EXPECT_THROW(TWebEntity::Free(doc), EQDSException); }).join();
  EXPECT_TRUE(m.ValidEntity(doc));
  TWebEntity::Free(doc);
  EXPECT_EQ(a.Entity(), nullptr);
  EXPECT_EQ(b.Entity(), nullptr);
  EXPECT_EQ(seen, (std::vector<TWebEventReason>{TWebEventReason::wevSourceChange,
                                                TWebEventReason::wevRecordInsert,
                                                TWebEventReason::wevSourceChange}));
  m.BeforeDestruction();
}

TEST_F(MessagingTest, WorkersRunTheirPeriodicStepAndGroupingsGoWithTheirEntities) {
  TestManager m;
  m.eventTimeoutMs = 20;
  config->SetThreads(1);
  m.SettingsChanged();
  m.Startup();
  auto* worker = static_cast<coretest::TestWorker*>(m.Thread(0));
  ASSERT_TRUE(Pump([&] { return worker->timeouts.load() >= 3; }, 2000));

  static int groupingsFreed = 0;
  struct Grouping : TEntityGrouping {
    ~Grouping() override { ++groupingsFreed; }
  };
  auto* busy = new Grouping;
  busy->fGotPendingProcessings = true;
  auto* a = new TestDoc(&m, "/a");
  auto* b = new TestDoc(&m, "/b");
  a->SetObsoleteUser(new Grouping);
  b->SetObsoleteUser(busy);
  TWebEntity::Free(a);
  TWebEntity::Free(b);
  EXPECT_EQ(groupingsFreed, 1);  // the busy one stays
  delete busy;
  m.Terminate();
  m.Shutdown();
  m.BeforeDestruction();
}

TEST_F(MessagingTest, DumpExtractsTheBodyText) {
  TestManager m;
  auto* doc = new TestDoc(&m, "/x");
  struct Case {
    std::string answer, expected;
  } cases[] = {
      {"<html><head><title>T</title></head><body><h1> Gone </h1>\n<p>try "
       "<b>later</b></p></BODY>after",
       "Gone\r\ntry\r\nlater"},
      {"plain text", "plain text"},
      {"<html><body class=x><p>attr</p></body>", "<html><body class=x><p>attr</p></body>"},
  };
  for (const Case& c : cases) {
    TQDSEntry e(0, "x", TDataFlag::ldWeb, TJobFlags());
    e.Write(c.answer.data(), c.answer.size());
    doc->Dump(e);
    const auto nl = doc->AnswerDump().find("\r\n");
    ASSERT_NE(nl, std::string::npos);
    EXPECT_EQ(doc->AnswerDump()[0], '@');
    EXPECT_EQ(doc->AnswerDump().substr(nl + 2), c.expected);
  }
  TWebEntity::Free(doc);
  m.BeforeDestruction();
}

TEST_F(MessagingTest, RequestLogMergesExchangesKeepsAThousandAndFilters) {
  TestManager m;
  m.Startup();
  TLogEntity& log = *m.LogEntity();
  int inserts = 0;
  TWebEntityLink link;
  link.SetOnHandle([&](TWebEventReason e) { inserts += e == TWebEventReason::wevRecordInsert; });
  link.SetEntity(&log);
  // The same exchange: the later entry with headers replaces the early one.
  m.MergeLogEntry(LogEntry("q/a", 10, "r", "", 0));
  m.MergeLogEntry(LogEntry("q/a", 10, "r", "H", 50));
  ASSERT_EQ(log.Count(), 1);
  EXPECT_EQ(log.GetItem(0)->AllHeaders(), "H");
  // A later one without headers leaves it, raising its end time.
  m.MergeLogEntry(LogEntry("q/a", 10, "r", "", 90));
  ASSERT_EQ(log.Count(), 1);
  EXPECT_EQ(log.GetItem(0)->AllHeaders(), "H");
  EXPECT_EQ(log.GetItem(0)->ParsingEndedAt, 90u);
  // Other start, address or reason: other exchanges.
  m.MergeLogEntry(LogEntry("q/a", 11, "r", ""));
  m.MergeLogEntry(LogEntry("q/b", 10, "r", ""));
  m.MergeLogEntry(LogEntry("q/a", 10, "s", ""));
  EXPECT_EQ(log.Count(), 4);
  EXPECT_EQ(inserts, 6);

  log.SetFilterString("q/b");
  EXPECT_EQ(log.FilteredCount(), 1);
  log.SetFilterString("Q/B");  // case-sensitive
  EXPECT_EQ(log.FilteredCount(), 0);
  log.SetFilterString("z");
  for (int i = 0; i < 1200; ++i) log.Add(LogEntry(i % 2 ? "z/odd" : "y/even", 1000 + i, "r", ""));
  EXPECT_EQ(log.Count(), 1000);
  EXPECT_EQ(log.GetItem(0)->DownloadStartedAt, 1200u);  // the oldest went first
  EXPECT_EQ(log.FilteredCount(), 500);
  EXPECT_EQ(log.GetFilteredItem(0)->DownloadStartedAt, 1201u);
  log.SetFilterString("");
  EXPECT_EQ(log.FilteredCount(), 1000);
  link.SetEntity(nullptr);
  m.Terminate();
  m.Shutdown();
  m.BeforeDestruction();
}

TEST_F(MessagingTest, HealthTable) {
  config->SetMaxFails(10);
  TestManager m;
  auto* doc = new TestDoc(&m, "/x");
  int crushedCalls = 0;
  struct Step {
    const char* name;
    TRequestMethod method;
    int status;
    bool supported;
    int failCountBefore;
    TEntityHealth verdict;
    int failCountAfter;
    bool crushed;
    TForbiddenness forbidden;
  } steps[] = {
      {"ok resets", TRequestMethod::mGet, 200, true, 3, TEntityHealth::ehHealthy, 0, false,
       TForbiddenness::fNone},
      {"status 0 counts as below 300", TRequestMethod::mGet, 0, true, 0, TEntityHealth::ehHealthy,
       0, false, TForbiddenness::fNone},
      {"unusable answers, not yet", TRequestMethod::mGet, 200, true, -9, TEntityHealth::ehHealthy,
       -9, false, TForbiddenness::fNone},
      {"304 after failures", TRequestMethod::mGet, 304, true, 2, TEntityHealth::ehNotModified, 0,
       false, TForbiddenness::fNone},
      {"nine failures sick", TRequestMethod::mGet, 500, true, 8, TEntityHealth::ehSick, 9, false,
       TForbiddenness::fNone},
      {"the tenth crushes", TRequestMethod::mGet, 503, true, 9, TEntityHealth::ehCrushed, 10, true,
       TForbiddenness::fNone},
      {"one POST failure crushes", TRequestMethod::mPost, 500, true, 0, TEntityHealth::ehCrushed, 1,
       true, TForbiddenness::fNone},
      {"403 forbids", TRequestMethod::mPut, 403, true, 0, TEntityHealth::ehCrushed, 0, true,
       TForbiddenness::f403},
      {"unsupported version", TRequestMethod::mDelete, 200, false, 0, TEntityHealth::ehCrushed, 0,
       true, TForbiddenness::fNotSupported},
  };
  for (const Step& s : steps) {
    doc->SetFailCount(s.method, s.failCountBefore);
    TQDSEntry e(0, "x", TDataFlag::ldWeb, TJobFlags());
    e.Method = s.method;
    e.RequestStatus = s.status;
    e.Supported = s.supported;
    const std::string text = "boom";
    e.Write(text.data(), text.size());
    EXPECT_EQ(m.EntityCrushed(e, doc), s.verdict) << s.name;
    EXPECT_EQ(doc->GetFailCount(s.method), s.failCountAfter) << s.name;
    EXPECT_EQ(doc->GetCrushed(s.method), s.crushed) << s.name;
    EXPECT_EQ(doc->GetForbidden(s.method), s.forbidden) << s.name;
    EXPECT_EQ(e.ParsingEndedAt != 0, s.verdict != TEntityHealth::ehHealthy) << s.name;
    if (s.status >= 300 && s.status != 304) {
      EXPECT_EQ(doc->GetLastError(s.method), "boom") << s.name;
    }
    crushedCalls += s.verdict == TEntityHealth::ehCrushed;
  }
  // The unusable-answer limit: -10 crushes.
  doc->SetFailCount(TRequestMethod::mUnknown, -10);
  TQDSEntry e(0, "x", TDataFlag::ldWeb, TJobFlags());
  e.RequestStatus = 200;
  EXPECT_EQ(m.EntityCrushed(e, doc), TEntityHealth::ehCrushed);
  // Restart clears counts and errors, not the crushed marks.
  doc->AfterRestart();
  EXPECT_EQ(doc->GetFailCount(TRequestMethod::mGet), 0);
  EXPECT_EQ(doc->GetLastError(TRequestMethod::mPost), "");
  EXPECT_TRUE(doc->GetCrushed(TRequestMethod::mGet));
  (void)crushedCalls;
  TWebEntity::Free(doc);
  m.BeforeDestruction();
}

TEST_F(MessagingTest, AddingJobsFollowsReadinessAndServerErrors) {
  TestManager m;
  auto* doc = new TestDoc(&m, "/x");
  config->SetEnabled(false);
  m.SettingsChanged();
  m.AddDownloadJob("r", doc, false);
  EXPECT_EQ(m.JobsQueue().GetCount(), 0);  // not ready
  config->SetEnabled(true);
  m.SettingsChanged();
  m.SetRecoverableServerError(true);
  m.AddDownloadJob("r", doc, false);
  EXPECT_EQ(m.JobsQueue().GetCount(), 0);  // dropped
  m.SetAuthentication(TAuthenticationState::asDenied);
  m.AddPostJob("r", doc, {'{', '}'});
  EXPECT_EQ(m.JobsQueue().GetCount(), 1);  // interactive: problems cleared
  EXPECT_FALSE(m.GetRecoverableServerError());
  EXPECT_EQ(m.Authentication(), TAuthenticationState::asNone);
  TWebEntity::Free(doc);  // cancels its jobs
  EXPECT_EQ(m.JobsQueue().GetCount(), 0);
  m.BeforeDestruction();
}

TEST_F(MessagingTest, AddressesAreKeptAndRefreshedWhenOutdated) {
  TestManager m;
  auto* doc = new TestDoc(&m, "/qds/index.json");
  TqdsURL* url = doc->GetURL(TRequestMethod::mGet);
  ASSERT_NE(url, nullptr);
  EXPECT_EQ(doc->GetURL(TRequestMethod::mGet), url);
  EXPECT_EQ(m.findouts.load(), 1);
  doc->AfterRestart();
  EXPECT_TRUE(url->GetOutdated());
  EXPECT_EQ(doc->InitUrl(TRequestMethod::mGet), url);  // the kept one, refreshed
  EXPECT_EQ(m.findouts.load(), 2);
  EXPECT_FALSE(url->GetOutdated());
  TWebEntity::Free(doc);
  m.BeforeDestruction();
}

TEST_F(MessagingTest, ServerProblemsAndTheOfflineMode) {
  TestManager m;
  m.Startup();
  m.SetCriticalServerError(true);
  EXPECT_TRUE(m.GetCriticalServerError());
  EXPECT_FALSE(m.GetOnline(true));
  ASSERT_TRUE(Pump([&] {
    return std::any_of(m.processed.begin(), m.processed.end(),
                       [](auto& p) { return p.first == TQDSMessageParam::mpGoneOffline; });
  }));
  m.SetCriticalServerError(false);
  EXPECT_TRUE(m.GetOnline(true));
  // Offline by the platform: a restart cannot start until it is online again.
  EXPECT_TRUE(m.MarkGlobalOffline());
  EXPECT_FALSE(m.MarkGlobalOffline());
  EXPECT_FALSE(m.TryBringIEOnline());
  EXPECT_FALSE(m.Restart(false));
  EXPECT_FALSE(m.GetRestarting());
  m.Context().SetProblems({});
  m.Terminate();
  m.Shutdown();
  m.BeforeDestruction();
}

TEST_F(MessagingTest, OnlineState) {
  TestManager m;
  m.Startup();
  struct Case {
    TQDSLogon logon;
    TAuthenticationState auth;
    TQDSProblems problems;
    bool online;
  } cases[] = {
      {TQDSLogon::lBasic, TAuthenticationState::asNone, {}, true},
      {TQDSLogon::lBasic, TAuthenticationState::asDenied, {}, false},
      {TQDSLogon::lAnonymous, TAuthenticationState::asDenied, {}, true},
      {TQDSLogon::lBasic, TAuthenticationState::asGranted, {TQDSProblem::pGlobalOffline}, false},
      {TQDSLogon::lBasic,
       TAuthenticationState::asGranted,
       {TQDSProblem::pCriticalServerError},
       false},
      {TQDSLogon::lBasic,
       TAuthenticationState::asGranted,
       {TQDSProblem::pRecoverableServerError},
       true},
  };
  for (const Case& c : cases) {
    config->SetLogon(c.logon);
    m.SettingsChanged();
    m.SetAuthentication(c.auth);
    m.Context().SetProblems(c.problems);
    EXPECT_EQ(m.GetOnline(false), c.online)
        << static_cast<int>(c.logon) << static_cast<int>(c.auth);
  }
  m.Context().SetProblems({});
  m.Terminate();
  m.Shutdown();
  m.BeforeDestruction();
}

TEST_F(MessagingTest, RestartRunsEveryWorkerThroughItAndReleasesTheOldSession) {
  std::vector<const char*> dialogs;
  static std::vector<std::string>* shown = nullptr;
  std::vector<std::string> texts;
  shown = &texts;
  EQDSException::SetTaskDialogPresenter(
      [](const std::string&, const std::string& main, const std::string& content) {
        shown->push_back(main + "|" + content);
      });
  config->SetThreads(3);
  TestManager m;
  m.Startup();
  ASSERT_EQ(m.ThreadCount(), 3u);
  auto* doc = new TestDoc(&m, "/x");
  int sourceChanges = 0;
  TWebEntityLink link;
  link.SetOnHandle(
      [&](TWebEventReason e) { sourceChanges += e == TWebEventReason::wevSourceChange; });
  link.SetEntity(doc);
  sourceChanges = 0;
  doc->SetFailCount(TRequestMethod::mGet, 4);
  const std::uint8_t before = m.MessageSession();
  m.TQDSMessageManager::PostMessage(TQDSMessageParam::mpLogEntry,
                                    AsParam(LogEntry("old", 1, "r", "").release()), 0);
  m.holdRestart = true;
  ASSERT_TRUE(m.Restart(true));
  EXPECT_NE(m.MessageSession(), before);
  EXPECT_FALSE(m.GetReady());
  // A second restart while this one runs is refused with the dialog.
  EXPECT_FALSE(m.Restart(true));
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "Connection is currently restarting|Try again later, please");
  m.holdRestart = false;
  ASSERT_TRUE(Pump([&] { return !m.GetRestarting() && sourceChanges == 1; }));
  EXPECT_TRUE(m.WaitFotReadiness());
  for (std::size_t i = 0; i < m.ThreadCount(); ++i)
    EXPECT_EQ(static_cast<coretest::TestWorker*>(m.Thread(i))->restarts.load(), 1);
  EXPECT_EQ(doc->GetFailCount(TRequestMethod::mGet), 0);
  ASSERT_FALSE(m.released.empty());
  EXPECT_EQ(m.released[0].first, TQDSMessageParam::mpLogEntry);
  EXPECT_EQ(m.released[0].second, before);
  EQDSException::SetTaskDialogPresenter(nullptr);
  link.SetEntity(nullptr);
  m.Terminate();
  m.Shutdown();  // frees the workers and the entities
  EXPECT_EQ(m.ThreadCount(), 0u);
  EXPECT_EQ(m.EntityListCopy().size(), 0u);
  EXPECT_EQ(m.WebClientsWorking(), 0);
  m.BeforeDestruction();
}

}  // namespace
}  // namespace tarvo
