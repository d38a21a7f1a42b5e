// Workers against the service simulator on 127.0.0.1: real threads, real HTTP
// (and HTTPS for the passport), the test thread pumping as the UI thread.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "crypto/ValidataError.h"
#include "platform/net/Inet.h"
#include "qds/tests/QdsCoreTestSupport.h"
#include "testing/HttpTestServer.h"
#include "testing/QdsSimulator.h"

namespace tarvo {
namespace {

using coretest::ConfigFixture;
using coretest::TestDoc;
using coretest::TestManager;
using testing::QdsEncoding;
using testing::QdsFault;
using testing::QdsFaultScript;
using testing::QdsSimulator;
using Clock = std::chrono::steady_clock;

constexpr const char* kIndex = "/qds/index.json";
// Four documents whose paths the address templates keep as they are.
const char* const kDocs[] = {"/qds/index.json",
                             "/qds/history/engines/stock/markets/shares/dates.json",
                             "/qds/first.json", "/qds/second.json"};

class WorkerTest : public ConfigFixture {
 protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    sim = std::make_unique<QdsSimulator>();
    sim->SetDocument("/qds/first.json", R"({"first":{"metadata":{},"columns":[],"data":[]}})");
    sim->SetDocument("/qds/second.json", R"({"second":{"metadata":{},"columns":[],"data":[]}})");
    config->SetHost("127.0.0.1");
    config->SetPort(sim->Port());
  }
  void TearDown() override {
    if (m) {
      m->Terminate();
      m->Shutdown();
      m->BeforeDestruction();
      m.reset();
    }
    sim->Stop();
    ConfigFixture::TearDown();
  }
  TestManager& Start(int threads = 2) {
    config->SetThreads(threads);
    m = std::make_unique<TestManager>();
    m->port = sim->Port();
    prepare(*m);
    m->Startup();
    return *m;
  }
  TestDoc* Doc(const std::string& path) { return new TestDoc(m.get(), path); }
  // Adds a job and pumps until the document has `count` results.
  std::vector<TestDoc::Result> Fetch(TestDoc* doc, std::size_t count = 1) {
    m->AddDownloadJob("test", doc, true);
    EXPECT_TRUE(Pump([&] { return doc->Results().size() >= count; }, 10000)) << doc->Path;
    PumpFor(20);
    return doc->Results();
  }
  // A document's processing hook that holds the worker until release is set
  // (five seconds at most), first setting *inside when given.
  static std::function<void()> Holding(std::atomic<bool>& release,
                                       std::atomic<bool>* inside = nullptr) {
    return [&release, inside] {
      if (inside) *inside = true;
      for (int i = 0; i < 500 && !release.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
  }
  // Pumps until the newest log entry is a complete one (its answer headers
  // read); nullptr when none comes.
  TQDSLogEntry* LastCompleteLogEntry() {
    TQDSLogEntry* logged = nullptr;
    Pump([&] {
      const auto items = m->LogItems();
      logged = items.empty() || items.back()->AllHeaders().empty() ? nullptr : items.back();
      return logged != nullptr;
    });
    return logged;
  }

  testing::ProxyEnvironmentCleared noProxy;
  std::unique_ptr<QdsSimulator> sim;
  std::unique_ptr<TestManager> m;
  std::function<void(TestManager&)> prepare = [](TestManager&) {};
};

TEST_F(WorkerTest, ADocumentIsFetchedAndItsEntryLogged) {
  Start();
  TestDoc* doc = Doc(kIndex);
  const auto results = Fetch(doc);
  ASSERT_EQ(results.size(), 1u);
  const auto& r = results[0];
  EXPECT_EQ(r.status, TURLRetrieveStatus::ursOK);
  EXPECT_EQ(r.httpStatus, 200);
  EXPECT_EQ(r.body, *sim->Document(kIndex));
  const auto validators = *sim->DocumentValidators(kIndex);
  EXPECT_EQ(r.etag, validators.etag);
  EXPECT_EQ(r.lastModified, validators.lastModified);
  EXPECT_GT(r.serverTime, 40000.0);  // a date after 2009
  EXPECT_EQ(r.health, TEntityHealth::ehHealthy);
  EXPECT_EQ(m->Authentication(), TAuthenticationState::asSkipped);  // no marker came

  const auto requests = sim->Requests(kIndex);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("Accept"), "application/xml");
  EXPECT_EQ(requests[0].Header("Accept-Encoding"), "gzip,deflate");
  EXPECT_EQ(requests[0].Header("User-Agent"), "TARVO Trade");

  // The log: the early entry was replaced by the complete one.
  ASSERT_TRUE(Pump([&] {
    for (TQDSLogEntry* e : m->LogItems())
      if (!e->AllHeaders().empty()) return true;
    return false;
  }));
  const auto items = m->LogItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_NE(items[0]->InitialURL.find("127.0.0.1/qds/index.json"), std::string::npos);
  EXPECT_EQ(items[0]->Balancer(), "qds-sim-1");
  EXPECT_EQ(items[0]->Cache(), "no-cache");
  EXPECT_EQ(items[0]->AllHeaders().rfind("---->\r\nGET ", 0), 0u) << items[0]->AllHeaders();
  EXPECT_NE(items[0]->AllHeaders().find("\r\n<----\r\nHTTP/1.1 200"), std::string::npos);
  EXPECT_EQ(items[0]->Reason, "test");
  EXPECT_EQ(items[0]->RequestStatus, 200);
  EXPECT_GT(m->RespTime(), 40000.0);
}

TEST_F(WorkerTest, EncodedAnswersAreDecodedAndLoggedAsTheyCame) {
  Start();
  const std::string body = *sim->Document(kIndex);
  // The text view of the answer, from a copy the log compressed itself.
  std::vector<std::string> expectedText;
  {
    TQDSEntry source(0, "x", TDataFlag::ldUnknown, TJobFlags());
    source.Write(body.data(), body.size());
    TQDSLogEntry(&source).LoadText(expectedText);
  }
  struct Case {
    QdsEncoding encoding;
    const char* sent;
    TQDSPackedForm logged;
  } cases[] = {{QdsEncoding::Gzip, "gzip", TQDSPackedForm::pfGzip},
               {QdsEncoding::Deflate, "deflate", TQDSPackedForm::pfZlib},
               {QdsEncoding::RawDeflate, "deflate", TQDSPackedForm::pfRawDeflate},
               {QdsEncoding::Identity, "", TQDSPackedForm::pfZlib}};
  for (const Case& c : cases) {
    sim->SetEncoding(c.encoding);
    sim->ClearRequests();
    TestDoc* doc = Doc(kIndex);
    const auto results = Fetch(doc);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].body, body) << c.sent;
    ASSERT_EQ(sim->Requests().size(), 1u);
    EXPECT_EQ(sim->Requests()[0].contentEncoding, c.sent);
    TWebEntity::Free(doc);

    // The log keeps a compressed answer as it came over the wire.
    TQDSLogEntry* logged = LastCompleteLogEntry();
    ASSERT_NE(logged, nullptr);
    EXPECT_EQ(logged->DataInForm(), c.logged) << c.sent;
    EXPECT_EQ(logged->Size(), static_cast<std::int64_t>(body.size()));
    if (c.encoding != QdsEncoding::Identity) {
      EXPECT_EQ(logged->DataIn()->Bytes(), *sim->EncodedDocument(kIndex, c.encoding)) << c.sent;
    }
    std::vector<std::string> text;
    logged->LoadText(text);
    EXPECT_EQ(text, expectedText) << c.sent;
  }
}

TEST_F(WorkerTest, AGzipAnswerInSeveralMembersIsDecodedWhole) {
  // gzip allows members one after the other; the answer is all of them.
  testing::HttpTestServer server;
  const std::string first = R"({"multi":{"metadata":{},)", second = R"("columns":[],"data":[]}})";
  testing::HttpReply reply(testing::GzipBytes(first) + testing::GzipBytes(second) + "\n");
  reply.headers = {{"Content-Encoding", "gzip"}};
  reply.contentType = "application/json";
  server.On("/qds/multi.json", reply);
  prepare = [&](TestManager& mm) { mm.port = server.Port(); };
  Start(1);
  TestDoc* doc = Doc("/qds/multi.json");
  const auto r = Fetch(doc);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].status, TURLRetrieveStatus::ursOK);
  EXPECT_EQ(r[0].body, first + second) << "bytes after the last member are not the answer's";
  TWebEntity::Free(doc);

  TQDSLogEntry* logged = LastCompleteLogEntry();
  ASSERT_NE(logged, nullptr);
  EXPECT_EQ(logged->DataInForm(), TQDSPackedForm::pfGzip);
  std::vector<std::string> text;
  logged->LoadText(text);
  EXPECT_EQ(text, (std::vector<std::string>{"{", "  \"multi\":{", "    \"metadata\":{", "    },",
                                            "    \"columns\":[", "    ],", "    \"data\":[",
                                            "    ]", "  }", "}"}));
}

TEST_F(WorkerTest, AnAnswerOverTheSizeLimitFailsOnceWithItsOwnMessage) {
  // A large identity answer sent slowly, so that how much of it the server
  // got out shows whether the worker stopped reading at the limit; and 64 KiB
  // that gzip packs into far less, so that the limit holds for the decoded
  // size as well.
  testing::HttpTestServer slow;
  testing::HttpReply large(std::string(32 << 20, 'x'));
  large.contentType = "application/json";
  large.delayPerBlock = std::chrono::milliseconds(5);
  slow.On("/qds/big.json", large);
  std::string packable = "{\"big\":\"";
  while (packable.size() < (64 << 10)) packable += "0123456789";
  packable += "\"}";
  sim->SetDocument("/qds/big.json", packable);
  sim->SetEncoding(QdsEncoding::Gzip);
  prepare = [](TestManager& mm) {
    mm.workerClass = [] {
      return [](TWebEntityManager& owner) {
        auto w = std::make_unique<coretest::TestWorker>(owner);
        w->SetMaxAnswerBytes(std::numeric_limits<std::size_t>::max());
        EXPECT_EQ(w->MaxAnswerBytes(), std::size_t{INT32_MAX}) << "progress counts in int";
        w->SetMaxAnswerBytes(16 << 10);
        return w;
      };
    };
  };
  Start(1);
  for (const bool identity : {true, false}) {
    SCOPED_TRACE(identity ? "identity" : "gzip");
    m->port = identity ? slow.Port() : sim->Port();
    const std::size_t errorsBefore = m->InetErrors().size();
    TestDoc* doc = Doc("/qds/big.json");
    const auto r = Fetch(doc);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].status, TURLRetrieveStatus::ursFail);
    EXPECT_TRUE(r[0].body.empty());
    EXPECT_EQ(r[0].statusMessage,
              "EQDSException: The answer is larger than the limit of 16384 bytes");
    const auto errors = m->InetErrors();
    ASSERT_EQ(errors.size(), errorsBefore + 1);
    EXPECT_EQ(errors.back().message, "The answer is larger than the limit of 16384 bytes");
    PumpFor(300);  // a retry would come after 100 ms
    EXPECT_EQ(doc->Results().size(), 1u);
    TWebEntity::Free(doc);
    if (identity) {
      // Reading stopped at the limit: the server's body was cut short.
      ASSERT_TRUE(Pump([&] { return slow.AbortedBodies() == 1; }, 10000));
      EXPECT_LT(slow.BodyBytesSent(), std::uint64_t{4} << 20);
    } else {
      EXPECT_EQ(sim->Requests("/qds/big.json").size(), 1u);
    }

    // Answers within the limit still arrive.
    m->port = sim->Port();
    TestDoc* small = Doc(kIndex);
    const auto ok = Fetch(small);
    ASSERT_EQ(ok.size(), 1u);
    EXPECT_EQ(ok[0].status, TURLRetrieveStatus::ursOK);
    TWebEntity::Free(small);
  }
}

TEST_F(WorkerTest, ValidatorsMakeTheRequestConditionalAnd304IsNoFailure) {
  Start();
  const auto v = *sim->DocumentValidators(kIndex);
  struct Case {
    std::string etag, lastModified;
    int status;
  } cases[] = {{v.etag, "", 304}, {"", v.lastModified, 304}, {"\"stale\"", "", 200}};
  for (const Case& c : cases) {
    sim->ClearRequests();
    TestDoc* doc = Doc(kIndex);
    doc->SetFailCount(TRequestMethod::mGet, 2);
    doc->SetValidators(c.etag, c.lastModified);
    const auto results = Fetch(doc);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, TURLRetrieveStatus::ursOK);
    EXPECT_EQ(results[0].httpStatus, c.status);
    EXPECT_EQ(results[0].health,
              c.status == 304 ? TEntityHealth::ehNotModified : TEntityHealth::ehHealthy);
    EXPECT_EQ(doc->GetFailCount(TRequestMethod::mGet), 0);
    const auto req = sim->Requests(kIndex);
    ASSERT_EQ(req.size(), 1u);  // no retry
    EXPECT_EQ(req[0].Header("If-None-Match"), c.etag);
    EXPECT_EQ(req[0].Header("If-Modified-Since"), c.lastModified);
    TWebEntity::Free(doc);
  }
}

TEST_F(WorkerTest, EachStatusClassHasItsOutcome) {
  Start();
  struct Case {
    QdsFault fault;
    std::size_t attempts;  // requests made (a retry repeats the exchange)
    TURLRetrieveStatus first;
    int status;
    TEntityHealth health;
  } cases[] = {
      {QdsFault::BadRequest, 1, TURLRetrieveStatus::ursOK, 400, TEntityHealth::ehSick},
      {QdsFault::Unauthorized, 1, TURLRetrieveStatus::ursFail, 401, TEntityHealth::ehSick},
      {QdsFault::ForbiddenHtml, 1, TURLRetrieveStatus::ursOK, 403, TEntityHealth::ehCrushed},
      {QdsFault::NotFound, 1, TURLRetrieveStatus::ursOK, 404, TEntityHealth::ehSick},
      {QdsFault::ServerErrorTitle, 1, TURLRetrieveStatus::ursOK, 500, TEntityHealth::ehSick},
      {QdsFault::Unavailable, 1, TURLRetrieveStatus::ursOK, 503, TEntityHealth::ehSick},
      {QdsFault::ErrorDocument, 1, TURLRetrieveStatus::ursOK, 200, TEntityHealth::ehHealthy},
      {QdsFault::NoContent, 1, TURLRetrieveStatus::ursOK, 204, TEntityHealth::ehHealthy},
      // An empty 200 and a gzip body cut short are retried; the retry succeeds.
      {QdsFault::Empty200, 2, TURLRetrieveStatus::ursTransportFail, 200, TEntityHealth::ehHealthy},
      {QdsFault::TruncatedGzip, 2, TURLRetrieveStatus::ursTransportFail, 200,
       TEntityHealth::ehHealthy},
  };
  for (const Case& c : cases) {
    const std::string name(testing::QdsFaultName(c.fault));
    sim->ClearRequests();
    sim->SetFault(kIndex, QdsFaultScript(c.fault, 1, "failure text"));
    TestDoc* doc = Doc(kIndex);
    const auto results = Fetch(doc, c.attempts);
    ASSERT_EQ(results.size(), c.attempts) << name;
    EXPECT_EQ(results[0].status, c.first) << name;
    if (c.attempts == 1) {
      EXPECT_EQ(results[0].httpStatus, c.status) << name;
      EXPECT_EQ(results[0].health, c.health) << name;
      if (c.status >= 400 && c.status != 401) {
        EXPECT_NE(doc->GetLastError(TRequestMethod::mGet).find("failure text"), std::string::npos)
            << name << ": " << doc->GetLastError(TRequestMethod::mGet);
      }
    } else {
      EXPECT_EQ(results[1].status, TURLRetrieveStatus::ursOK) << name;
      EXPECT_EQ(results[1].body, *sim->Document(kIndex)) << name;
    }
    EXPECT_EQ(sim->Requests(kIndex).size(), c.attempts) << name;
    TWebEntity::Free(doc);
  }
  // The truncated body was kept for the log.
  bool partial = false;
  for (TQDSLogEntry* e : m->LogItems())
    partial |= e->Msg.find("could not be decoded") != std::string::npos;
  EXPECT_TRUE(partial);
}

TEST_F(WorkerTest, ResetConnectionsFailTheExchange) {
  Start();
  sim->SetFault(kIndex, QdsFaultScript(QdsFault::Reset, 1));
  TestDoc* doc = Doc(kIndex);
  const auto results = Fetch(doc);
  ASSERT_GE(results.size(), 1u);
  EXPECT_NE(results[0].status, TURLRetrieveStatus::ursOK);
  EXPECT_EQ(results[0].statusMessage.rfind("WinInet Error (", 0), 0u) << results[0].statusMessage;
}

TEST_F(WorkerTest, AnswerHeadersAreReadEachOnItsOwn) {
  Start();
  struct Case {
    std::optional<std::string> date;
    bool hasTime;
  } cases[] = {
      {std::nullopt, false}, {"not a date", false}, {"Sun, 06 Nov 1994 08:49:37 GMT", true}};
  for (const Case& c : cases) {
    sim->OverrideHeader("Date", c.date);
    TestDoc* doc = Doc(kIndex);
    const auto r = Fetch(doc);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].serverTime > 0, c.hasTime);
    // Everything after the Date header is still read.
    EXPECT_EQ(r[0].etag, sim->DocumentValidators(kIndex)->etag);
    EXPECT_EQ(r[0].status, TURLRetrieveStatus::ursOK);
    TWebEntity::Free(doc);
  }
}

TEST_F(WorkerTest, QueryVersionsDecideSupport) {
  Start();
  struct Case {
    const char* q;
    bool supported;
    TEntityHealth health;
  } cases[] = {{"2a", true, TEntityHealth::ehHealthy},
               {"", true, TEntityHealth::ehHealthy},
               {"3", false, TEntityHealth::ehCrushed},
               {"x", false, TEntityHealth::ehCrushed}};
  for (const Case& c : cases) {
    sim->SetVersions(c.q, "7");
    TestDoc* doc = Doc(kIndex);
    doc->versions = {1, 2};
    const auto r = Fetch(doc);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].supported, c.supported) << c.q;
    EXPECT_EQ(r[0].health, c.health) << c.q;
    TWebEntity::Free(doc);
  }
}

TEST_F(WorkerTest, ProgressIsCoalescedToTheLatestValue) {
  std::string big;
  std::mt19937 rng(5);
  for (int i = 0; i < 4 << 20; ++i) big.push_back(static_cast<char>('a' + rng() % 26));
  sim->SetDocument("/qds/big.json", big);
  sim->SetEncoding(QdsEncoding::Identity);
  Start(1);
  TestDoc* doc = Doc("/qds/big.json");
  const auto r = Fetch(doc);
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].body.size(), big.size());
  ASSERT_TRUE(Pump([&] {
    return !m->progress.empty() && m->progress.back() == static_cast<std::intptr_t>(big.size());
  }));
  // One message per 8 KiB block would be 512.
  EXPECT_LT(m->progress.size(), 100u);

  // A short answer costs a single message: its final size.
  m->progress.clear();
  TestDoc* small = Doc(kIndex);
  ASSERT_EQ(Fetch(small).size(), 1u);
  ASSERT_TRUE(Pump([&] { return !m->progress.empty(); }));
  PumpFor(50);
  EXPECT_EQ(m->progress,
            std::vector<std::intptr_t>{static_cast<std::intptr_t>(sim->Document(kIndex)->size())});
}

TEST_F(WorkerTest, FailuresOutsideTheNetworkAreClassified) {
  struct Case {
    std::function<void()> raise;
    TURLRetrieveStatus status;
    int requestStatus;
    const char* message;
    bool recoverable;
    bool reported;
  } cases[] = {
      {[] { throw EValidataError("no key", 0x1234, "CryptoFind"); }, TURLRetrieveStatus::ursFail,
       0x1234, "EValidataError: no key [CryptoFind]", true, true},
      {[] { throw EQDSException("bad"); }, TURLRetrieveStatus::ursFail, 0, "EQDSException: bad",
       false, true},
      {[] { throw std::system_error(std::error_code(13, std::generic_category()), "open"); },
       TURLRetrieveStatus::ursFail, 13, "EOSError: open", false, true},
      {[] { throw std::runtime_error("odd"); }, TURLRetrieveStatus::ursTransportFail, 12004,
       "Exception: odd", false, false},
  };
  int index = 0;
  prepare = [&](TestManager& mm) {
    mm.addHeadersHook = [&] {
      if (index >= 0) {
        const int i = index;
        index = -1;  // only the first attempt fails
        cases[i].raise();
      }
    };
  };
  Start(1);
  for (int i = 0; i < 4; ++i) {
    const Case& c = cases[i];
    const std::size_t errorsBefore = m->InetErrors().size();
    index = i;
    TestDoc* doc = Doc(kIndex);
    m->AddDownloadJob("test", doc, true);
    ASSERT_TRUE(Pump([&] { return !doc->Results().empty(); }));
    const auto r = doc->Results()[0];
    EXPECT_EQ(r.status, c.status) << c.message;
    EXPECT_EQ(r.httpStatus, c.requestStatus) << c.message;
    EXPECT_EQ(r.statusMessage.rfind(c.message, 0), 0u) << r.statusMessage;
    const auto errors = m->InetErrors();
    EXPECT_EQ(errors.size(), errorsBefore + (c.reported ? 1 : 0)) << c.message;
    if (c.reported && errors.size() > errorsBefore) {
      EXPECT_EQ(errors.back().recoverable, c.recoverable);
    }
    if (c.status == TURLRetrieveStatus::ursTransportFail) {
      ASSERT_TRUE(Pump([&] { return doc->Results().size() == 2; }));  // retried
      EXPECT_EQ(doc->Results()[1].status, TURLRetrieveStatus::ursOK);
    }
    PumpFor(20);
    TWebEntity::Free(doc);
  }
}

TEST_F(WorkerTest, TLSFailuresOnATlsWorkerCarryTheHint) {
  prepare = [](TestManager& mm) { mm.tlsWorkers = true; };
  Start(1);
  TestDoc* doc = Doc(kIndex);  // TLS to a plain HTTP port
  const auto r = Fetch(doc);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].status, TURLRetrieveStatus::ursFail);
  const auto errors = m->InetErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].mode, TProcessingMode::amTLSGET);
  // A TLS handshake with a plain HTTP server fails as a security channel error.
  EXPECT_EQ(r[0].httpStatus, 12157);
  EXPECT_NE(errors[0].message.find(std::string("\r\n") + NoTLSSupportDefault), std::string::npos)
      << errors[0].message;
  EXPECT_NE(r[0].statusMessage.find(NoTLSSupportDefault), std::string::npos);
}

// --- the passport ---------------------------------------------------------------------------

class PassportTest : public WorkerTest {
 protected:
  void SetUp() override {
    WorkerTest::SetUp();
    sim->MapPassportHost();
    config->SetPassport(sim->PassportAddress());
    sim->SetRequirePassport(true);
  }
  std::size_t PassportRequests() { return sim->Requests("/authenticate").size(); }
};

TEST_F(PassportTest, FourWorkersMeetingTheServiceAtOnceLogInOnce) {
  testing::TrustTestAuthority trust;
  Start(4);
  std::vector<TestDoc*> docs;
  for (const char* p : kDocs) docs.push_back(Doc(p));
  for (TestDoc* d : docs) m->AddDownloadJob("test", d, true);
  ASSERT_TRUE(Pump(
      [&] {
        for (TestDoc* d : docs)
          if (d->Results().empty()) return false;
        return true;
      },
      15000));
  EXPECT_EQ(sim->PassportsGranted(), 1u);
  EXPECT_EQ(PassportRequests(), 2u);  // the challenge and the answer with credentials
  for (TestDoc* d : docs) {
    EXPECT_EQ(d->Results()[0].httpStatus, 200) << d->Path;
    EXPECT_EQ(d->Results()[0].passport, TTarvoPassportReply::mprGranted);
  }
  EXPECT_EQ(m->Authentication(), TAuthenticationState::asGranted);
  ASSERT_TRUE(Pump([&] { return m->PassportPermits(); }));
  EXPECT_EQ(m->CookieStorage().Count(), 1);
}

TEST_F(PassportTest, LogonQuestionsReachTheUIThreadWhileItAsksForTheLock) {
  testing::TrustTestAuthority trust;
  Start(1);
  m->logonSends = true;  // the worker asks the UI thread for credentials
  TestDoc* doc = Doc(kIndex);
  m->AddDownloadJob("test", doc, true);
  // Meanwhile the UI thread keeps taking the authentication lock.
  ASSERT_TRUE(Pump(
      [&] {
        m->GetOnline(false);
        return !doc->Results().empty();
      },
      10000));
  EXPECT_EQ(doc->Results()[0].httpStatus, 200);
  bool asked = false;
  for (auto& p : m->processed) asked |= p.first == TQDSMessageParam::mpRequestSessionID;
  EXPECT_TRUE(asked);
}

TEST_F(PassportTest, RefusedCredentialsDenyOnceAndTakeTheClientOffline) {
  testing::TrustTestAuthority trust;
  Start(4);
  m->password = "wrong";
  std::vector<TestDoc*> docs;
  for (const char* p : kDocs) docs.push_back(Doc(p));
  for (TestDoc* d : docs) m->AddDownloadJob("test", d, true);
  ASSERT_TRUE(Pump(
      [&] {
        for (TestDoc* d : docs)
          if (!d->Results().empty()) return true;
        return false;
      },
      15000));
  PumpFor(300);
  // One refused exchange; the other workers see the verdict and send nothing.
  EXPECT_EQ(PassportRequests(), 2u);
  EXPECT_EQ(sim->PassportsGranted(), 0u);
  EXPECT_EQ(m->Authentication(), TAuthenticationState::asDenied);
  EXPECT_FALSE(m->GetOnline(false));
  EXPECT_FALSE(m->Online());
  const auto cant = m->CantLogins();
  ASSERT_FALSE(cant.empty());
  EXPECT_FALSE(cant[0].second);
  for (TestDoc* d : docs) {
    for (const auto& r : d->Results()) EXPECT_EQ(r.status, TURLRetrieveStatus::ursFail);
  }
  for (const char* p : kDocs) EXPECT_TRUE(sim->Requests(p).empty()) << p;
  // Offline, the remaining jobs wait; a restart resets the verdict and the
  // right password logs in.
  m->password = "secret";
  ASSERT_TRUE(m->Restart(false));
  // Completed when the restart message is processed.
  ASSERT_TRUE(Pump(
      [&] { return !m->GetRestarting() && m->Authentication() == TAuthenticationState::asNone; }));
  TestDoc* again = Doc(kIndex);
  const auto r = Fetch(again);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].httpStatus, 200);
  EXPECT_EQ(sim->PassportsGranted(), 1u);
}

TEST_F(PassportTest, PassportStatusesDecideTheVerdict) {
  testing::TrustTestAuthority trust;
  struct Case {
    QdsFault fault;
    TAuthenticationState state;
  } cases[] = {{QdsFault::ForbiddenHtml, TAuthenticationState::asDenied},
               {QdsFault::BadRequest, TAuthenticationState::asDenied},
               {QdsFault::ServerErrorTitle, TAuthenticationState::asNone}};
  for (const Case& c : cases) {
    const std::string name(testing::QdsFaultName(c.fault));
    Start(1);
    sim->SetPassportFault(QdsFaultScript(c.fault, 1));
    TestDoc* doc = Doc(kIndex);
    const auto r = Fetch(doc);
    ASSERT_GE(r.size(), 1u) << name;
    if (c.state == TAuthenticationState::asDenied) {
      EXPECT_EQ(r[0].status, TURLRetrieveStatus::ursFail) << name;
      EXPECT_EQ(m->Authentication(), TAuthenticationState::asDenied) << name;
      EXPECT_EQ(m->CantLogins().size(), 1u) << name;
    } else {
      // 5xx: the passport is tried again; the retry logs in.
      EXPECT_EQ(r[0].status, TURLRetrieveStatus::ursTransportFail) << name;
      ASSERT_TRUE(Pump([&] { return doc->Results().size() == 2; })) << name;
      EXPECT_EQ(doc->Results()[1].httpStatus, 200) << name;
      EXPECT_TRUE(m->CantLogins().empty());
    }
    m->Terminate();
    m->Shutdown();
    m->BeforeDestruction();
    m.reset();
    sim->ClearFaults();
  }
}

TEST_F(PassportTest, AnonymousLogonSendsNothingToThePassport) {
  testing::TrustTestAuthority trust;
  config->SetLogon(TQDSLogon::lAnonymous);
  sim->SetRequirePassport(false);
  Start(1);
  TestDoc* doc = Doc(kIndex);
  const auto r = Fetch(doc);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].httpStatus, 200);
  EXPECT_EQ(PassportRequests(), 0u);
  EXPECT_EQ(m->Authentication(), TAuthenticationState::asGranted);
}

TEST_F(PassportTest, AnUntrustedPassportIsARecoverableSecurityFailure) {
  Start(1);  // the test authority is not trusted
  TestDoc* doc = Doc(kIndex);
  const auto r = Fetch(doc);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].status, TURLRetrieveStatus::ursFail);
  const auto errors = m->InetErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].recoverable);
  EXPECT_EQ(errors[0].mode, TProcessingMode::amAuthenticate);
  EXPECT_FALSE(m->LastAuthError().empty());
  const auto cant = m->CantLogins();
  ASSERT_EQ(cant.size(), 1u);
  EXPECT_TRUE(cant[0].second);  // a hard failure
}

// --- life cycle with work in flight ------------------------------------------------------------

// Terminate closes the handle of the worker's current request; the HTTP
// layer then ends the read that waits for the stalled body at once.
TEST_F(WorkerTest, ShutdownDuringAStalledBodyEndsWithinASecond) {
  sim->SetEncoding(QdsEncoding::Identity);
  sim->SetFault(kIndex, QdsFaultScript(QdsFault::StallBody, -1, {}, std::chrono::seconds(30)));
  Start(2);
  TestDoc* doc = Doc(kIndex);
  m->AddDownloadJob("test", doc, true);
  ASSERT_EQ(sim->WaitForRequests(1, std::chrono::seconds(5)), 1u);
  PumpFor(200);  // the headers and half of the body are in
  const auto t0 = Clock::now();
  m->Terminate();
  m->Shutdown();
  const auto took = Clock::now() - t0;
  EXPECT_LT(took, std::chrono::seconds(1));
  m->BeforeDestruction();
  m.reset();
}

TEST_F(WorkerTest, AnEntityFreedWhileAWorkerHasItWaitsForTheWorker) {
  Start(1);
  TestDoc* doc = Doc(kIndex);
  std::atomic<bool> inside{false}, release{false};
  doc->OnProcessing = Holding(release, &inside);
  m->AddDownloadJob("test", doc, true);
  ASSERT_TRUE(Pump([&] { return inside.load(); }));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    release = true;
  });
  const auto t0 = Clock::now();
  TWebEntity::Free(doc);  // waits for the worker to let go
  const auto took = Clock::now() - t0;
  releaser.join();
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_TRUE(release.load());
  // The worker neither frees it again nor touches it (ASan would see it).
  PumpFor(300);
  for (auto& p : m->processed) EXPECT_NE(p.first, TQDSMessageParam::mpFreeEntity);
  EXPECT_TRUE(m->EntityListCopy().size() == 1u);  // the log entity only
}

TEST_F(WorkerTest, RestartReleasesWhatTheOldSessionPosted) {
  sim->SetEncoding(QdsEncoding::Identity);
  sim->SetFault(kIndex,
                QdsFaultScript(QdsFault::StallHeaders, 1, {}, std::chrono::milliseconds(300)));
  Start(2);
  TestDoc* doc = Doc(kIndex);
  m->AddDownloadJob("test", doc, true);
  ASSERT_EQ(sim->WaitForRequests(1, std::chrono::seconds(5)), 1u);
  const std::uint8_t old = m->MessageSession();
  ASSERT_TRUE(m->Restart(false));
  // The stalled answer arrives in the old session: its log entry is released
  // (merged as a release does) and nothing of it is processed.
  ASSERT_TRUE(Pump([&] { return !m->GetRestarting() && doc->Results().size() == 1; }, 10000));
  PumpFor(100);
  for (auto& p : m->processed) {
    if (p.first == TQDSMessageParam::mpLogEntry) {
      EXPECT_NE(p.second, old);
    }
  }
  bool releasedOld = false;
  for (auto& p : m->released)
    releasedOld |= p.first == TQDSMessageParam::mpLogEntry && p.second == old;
  EXPECT_TRUE(releasedOld);
  EXPECT_EQ(m->UnprocessedMessagesCount(), 0);
}

TEST_F(WorkerTest, AnEntityCancelledWhileProcessedIsFreedOnTheMainThreadAfterwards) {
  Start(1);
  TestDoc* doc = Doc(kIndex);
  std::atomic<bool> inside{false}, release{false};
  doc->OnProcessing = Holding(release, &inside);
  m->AddDownloadJob("test", doc, true);
  ASSERT_TRUE(Pump([&] { return inside.load(); }));
  EXPECT_TRUE(m->IterateThreads(TThreadIterationReason::irCancelJob, doc));
  release = true;
  ASSERT_TRUE(Pump([&] { return !m->EntityIsInList(doc); }));
  bool freeMessage = false;
  for (auto& p : m->processed) freeMessage |= p.first == TQDSMessageParam::mpFreeEntity;
  EXPECT_TRUE(freeMessage);
}

TEST_F(WorkerTest, JobsLeftAfterFailuresAreStillTaken) {
  Start(1);
  sim->SetFault(kDocs[0], QdsFaultScript(QdsFault::Unauthorized));
  sim->SetFault(kDocs[1], QdsFaultScript(QdsFault::Unauthorized));
  TestDoc* a = Doc(kDocs[0]);
  TestDoc* b = Doc(kDocs[1]);
  TestDoc* c = Doc(kDocs[2]);
  std::atomic<bool> release{false};
  a->OnProcessing = Holding(release);
  // All three are admitted while the worker holds the first: the wake-up
  // event keeps one signal for the two waiting jobs.
  m->AddDownloadJob("test", a, true);
  ASSERT_TRUE(Pump([&] { return m->JobsQueue().GetProcessingCount() == 1; }));
  m->AddDownloadJob("test", b, true);
  m->AddDownloadJob("test", c, true);
  release = true;
  // Two failures in a row end two passes of the worker; the third job must
  // still be taken.
  ASSERT_TRUE(Pump([&] { return !c->Results().empty(); }, 5000));
  EXPECT_EQ(a->Results()[0].status, TURLRetrieveStatus::ursFail);
  EXPECT_EQ(b->Results()[0].status, TURLRetrieveStatus::ursFail);
  EXPECT_EQ(c->Results()[0].status, TURLRetrieveStatus::ursOK);
}

TEST_F(WorkerTest, AnErrorEscapingAWorkerClearsTheJobsWithNotifications) {
  Start(1);
  TestDoc* bad = Doc(kIndex);
  TestDoc* waiting = Doc(kDocs[1]);
  std::atomic<bool> release{false};
  bad->OnProcessing = [hold = Holding(release)] {
    hold();
    throw std::runtime_error("view failed");
  };
  m->AddDownloadJob("test", bad, true);
  m->AddDownloadJob("test", waiting, true);
  release = true;
  ASSERT_TRUE(Pump([&] { return !m->Crushed().empty(); }));
  const auto crushed = m->Crushed();
  ASSERT_EQ(crushed.size(), 1u);
  EXPECT_EQ(crushed[0].first, waiting);
  EXPECT_TRUE(crushed[0].second);
  EXPECT_EQ(m->JobsQueue().GetCount(), 0);
  // The worker goes on.
  const auto r = Fetch(Doc(kDocs[2]));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].status, TURLRetrieveStatus::ursOK);
}

TEST_F(WorkerTest, ThePlatformsOfflineModeIsLeftOnceAndTheJobRetried) {
  std::atomic<int> asked{0};
  auto previous = platform::SetInternetGoOnlineHook([&](std::string_view, platform::WindowHandle) {
    asked++;
    return true;
  });
  std::uint32_t state = platform::INTERNET_STATE_DISCONNECTED_BY_USER;
  ASSERT_TRUE(platform::InternetSetOption(nullptr, platform::INTERNET_OPTION_CONNECTED_STATE,
                                          &state, sizeof state));
  Start(1);
  TestDoc* doc = Doc(kIndex);
  const auto r = Fetch(doc, 2);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].status, TURLRetrieveStatus::ursTransportFail);
  EXPECT_EQ(r[1].status, TURLRetrieveStatus::ursOK);
  EXPECT_EQ(asked.load(), 1);
  EXPECT_FALSE(m->Context().GetProblems().Contains(TQDSProblem::pGlobalOffline));
  EXPECT_TRUE(m->CurrentlyFlags().Contains(TWebClientFlag::wcpWantsGoOnline));
  // Later notices start no new attempt.
  m->TQDSMessageManager::PostMessage(TQDSMessageParam::mpIEOffline, 0, 0);
  PumpFor(50);
  EXPECT_EQ(asked.load(), 1);
  platform::SetInternetGoOnlineHook(previous);
  state = platform::INTERNET_STATE_CONNECTED;
  platform::InternetSetOption(nullptr, platform::INTERNET_OPTION_CONNECTED_STATE, &state,
                              sizeof state);
}

TEST_F(WorkerTest, StressAddCancelDestroyRestart) {
  sim->SetFault("/qds/first.json", QdsFaultScript(QdsFault::Empty200, 5));
  Start(4);
  std::mt19937 rng(42);
  std::vector<TestDoc*> docs;
  const auto until = Clock::now() + std::chrono::seconds(3);
  int restarts = 0;
  while (Clock::now() < until) {
    const int action = static_cast<int>(rng() % 100);
    if (action < 50 || docs.empty()) {
      TestDoc* d = Doc(kDocs[rng() % 4]);
      if (rng() % 3 == 0)
        d->OnProcessing = [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); };
      docs.push_back(d);
      m->AddDownloadJob("stress", d, rng() % 2 == 0);
    } else if (action < 70) {
      m->AddDownloadJob("again", docs[rng() % docs.size()], true);
    } else if (action < 80) {
      m->CancelJob(docs[rng() % docs.size()], TRequestMethod::mUnknown);
    } else if (action < 95) {
      const std::size_t i = rng() % docs.size();
      TWebEntity::Free(docs[i]);
      docs.erase(docs.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (restarts < 5 && m->Restart(false)) {
      ++restarts;
    }
    PumpFor(rng() % 5);
  }
  ASSERT_TRUE(m->WaitFotReadiness() || !m->GetRestarting());
  PumpFor(100);
  const auto t0 = Clock::now();
  m->Terminate();
  m->Shutdown();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(m->EntityListCopy().size(), 0u);
}

}  // namespace
}  // namespace tarvo
