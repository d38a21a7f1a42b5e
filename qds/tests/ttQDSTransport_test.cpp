// The job list as pure logic: a fake owner stands in for the manager, so every
// case is deterministic and runs on one thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "qds/ttQDSTransport.h"

namespace tarvo {
namespace {

// Counts jobs alive, to see that the list frees what it drops or ends.
int gJobsAlive = 0;
struct CountedJob : TDownloadJob {
  CountedJob(TWebEntity* e, bool interactive = false) : TDownloadJob(e, 0, interactive) {
    ++gJobsAlive;
  }
  ~CountedJob() override { --gJobsAlive; }
};
struct CountedPost : TPostJob {
  CountedPost(TWebEntity* e, std::vector<std::uint8_t> d) : TPostJob(e, 0, std::move(d)) {
    ++gJobsAlive;
  }
  ~CountedPost() override { --gJobsAlive; }
};

// A manager reduced to what the job list and entities ask of it.
class FakeOwner : public IQDSViewHost, public IJobListOwner {
 public:
  FakeOwner() : list(*this) {}
  // IJobListOwner
  bool ValidEntity(const TWebEntity* e) override {
    auto& l = entities.LockList();
    const bool in = std::find(l.begin(), l.end(), e) != l.end() &&
                    !e->State().Contains(TWebEntityState::wesDestroying);
    entities.UnlockList();
    return in;
  }
  void SignalWakeup() override { ++wakeups; }
  void HandleCrushed(TQDSEntry& entry, TWebEntity* e, bool gaveUp) override {
    crushed.push_back({entry.EntityClassName(), entry.Reason, e, gaveUp});
  }
  // IQDSViewHost
  std::thread::id MainThreadID() const override { return main; }
  TWebServiceConfig* GetSettings() const override { return nullptr; }
  double Now() const override { return 0; }
  bool GetReady() const override { return true; }
  TWebClientFlags CurrentlyFlags() const override { return {}; }
  bool GetOnline(bool) override { return true; }
  bool CancelJob(TWebEntity* e, TRequestMethod m) override {
    list.CancelJobs(e, m);
    return true;
  }
  bool IterateThreads(TThreadIterationReason, TWebEntity*) override { return false; }
  std::unique_ptr<TqdsURL> FindoutURL(TWebEntity*, TRequestMethod m) override {
    if (m != TRequestMethod::mGet) return nullptr;
    return std::make_unique<TqdsURL>("127.0.0.1/qds/index.json", 80);
  }
  void PostMessage(TQDSMessageParam, std::intptr_t, std::uint8_t) override {}
  void CancelMessage(TQDSMessageParam, std::intptr_t) override {}
  TThreadSafeList& GetEntityList() override { return entities; }
  void WaitPumping(const std::function<bool()>& done) override {
    while (!done()) {
    }
  }

  struct Crush {
    std::string className, reason;
    TWebEntity* entity;
    bool gaveUp;
  };
  std::thread::id main = std::this_thread::get_id();
  TThreadSafeList entities;
  TSmartJobList list;
  int wakeups = 0;
  std::vector<Crush> crushed;
};

struct EntityA : TWebEntity {
  using TWebEntity::TWebEntity;
  std::string ClassName() const override { return "TEntityA"; }
};
struct EntityA2 : EntityA {
  using EntityA::EntityA;
};
struct EntityB : TWebEntity {
  // Jobs of B wait while any admitted job belongs to an A (or descendant).
  explicit EntityB(IQDSViewHost* h) : TWebEntity(h) { fPrecessorClasses = {EntityClass<EntityA>}; }
  std::string ClassName() const override { return "TEntityB"; }
};

class JobListTest : public ::testing::Test {
 protected:
  void SetUp() override { gJobsAlive = 0; }
  void TearDown() override {
    owner.list.ClearAllJobs(false);
    for (TWebEntity* e : made) TWebEntity::Free(e);
  }
  template <class E = EntityA>
  E* Make() {
    auto* e = new E(&owner);
    made.push_back(e);
    return e;
  }
  TDownloadJob* Add(TWebEntity* e, bool interactive = false) {
    auto j = std::make_unique<CountedJob>(e, interactive);
    TDownloadJob* raw = j.get();
    owner.list.AddJob(std::move(j));
    return raw;
  }
  std::vector<TDownloadJob*> Admitted() { return owner.list.AdmittedJobs(); }
  std::vector<TDownloadJob*> Upcoming() { return owner.list.UpcomingJobs(); }

  FakeOwner owner;
  std::vector<TWebEntity*> made;
};

TEST_F(JobListTest, AdmitsInOrderMarksOnlyTheFirstAndWakesOnePerJob) {
  auto* a = Make();
  auto* b = Make();
  TDownloadJob* j1 = Add(a);
  TDownloadJob* j2 = Add(b);
  EXPECT_EQ(Admitted(), (std::vector<TDownloadJob*>{j1, j2}));
  EXPECT_TRUE(j1->Flags().Contains(TJobFlag::jfFirst));
  EXPECT_FALSE(j2->Flags().Contains(TJobFlag::jfFirst));
  EXPECT_EQ(owner.wakeups, 2);
  EXPECT_EQ(owner.list.GetCount(), 2);
  EXPECT_EQ(owner.list.PeekFirst(), j1);
  EXPECT_EQ(owner.list.GetProcessingCount(), 1);
  EXPECT_EQ(owner.list.GetCount(), 1);
  EXPECT_EQ(owner.list.PeekFirst(), j2);
  EXPECT_EQ(owner.list.PeekFirst(), nullptr);
  owner.list.EndPickedJob(j1);
  owner.list.EndPickedJob(j2);
  EXPECT_EQ(gJobsAlive, 0);
  // After a clear the next admitted job is the first again.
  owner.list.ClearAllJobs(false);
  TDownloadJob* j3 = Add(a);
  EXPECT_TRUE(j3->Flags().Contains(TJobFlag::jfFirst));
}

TEST_F(JobListTest, DuplicatesAreDroppedWhereverTheOriginalWaits) {
  auto* a = Make();
  auto* b = Make<EntityB>();
  // Upcoming: B is held back by A's admitted job.
  Add(a);
  Add(b);
  ASSERT_EQ(Upcoming().size(), 1u);
  Add(b);  // duplicate of an upcoming job
  EXPECT_EQ(Upcoming().size(), 1u);
  Add(a);  // duplicate of a waiting admitted job
  EXPECT_EQ(Admitted().size(), 1u);
  TDownloadJob* picked = owner.list.PeekFirst();
  Add(a);                               // duplicate of a picked job
  EXPECT_EQ(owner.list.GetCount(), 1);  // only B's upcoming job
  EXPECT_EQ(gJobsAlive, 2);
  owner.list.EndPickedJob(picked);
}

TEST(JobEquality, MethodsAndBodiesDecide) {
  FakeOwner owner;
  auto* e = new EntityA(&owner);
  auto* f = new EntityA(&owner);
  const std::vector<std::uint8_t> x{'x'}, y{'y'}, none;
  struct Case {
    const char* name;
    std::unique_ptr<TDownloadJob> a, b;
    bool equal;
  };
  Case cases[] = {
      {"get/get", MakeJob(TRequestMethod::mGet, e, 0, false, nullptr),
       MakeJob(TRequestMethod::mGet, e, 0, true, nullptr), true},
      {"other entity", MakeJob(TRequestMethod::mGet, e, 0, false, nullptr),
       MakeJob(TRequestMethod::mGet, f, 0, false, nullptr), false},
      {"get/post", MakeJob(TRequestMethod::mGet, e, 0, false, nullptr),
       MakeJob(TRequestMethod::mPost, e, 0, true, &x), false},
      {"post/put", MakeJob(TRequestMethod::mPost, e, 0, true, &x),
       MakeJob(TRequestMethod::mPut, e, 0, true, &x), false},
      {"same body", MakeJob(TRequestMethod::mPost, e, 0, true, &x),
       MakeJob(TRequestMethod::mPost, e, 0, true, &x), true},
      {"other body", MakeJob(TRequestMethod::mPost, e, 0, true, &x),
       MakeJob(TRequestMethod::mPost, e, 0, true, &y), false},
      {"no bodies", MakeJob(TRequestMethod::mDelete, e, 0, true, &none),
       MakeJob(TRequestMethod::mDelete, e, 0, true, &none), true},
      {"one body", MakeJob(TRequestMethod::mPut, e, 0, true, &none),
       MakeJob(TRequestMethod::mPut, e, 0, true, &x), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a->Equals(*c.b), c.equal) << c.name;
    EXPECT_EQ(c.b->Equals(*c.a), c.equal) << c.name;
  }
  EXPECT_EQ(DefaultMethod(cases[2].b.get()), TRequestMethod::mPost);
  EXPECT_EQ(DefaultMethod(nullptr), TRequestMethod::mUnknown);
  EXPECT_EQ(MakeJob(TRequestMethod::mUnknown, e, 0, false, nullptr), nullptr);
  TWebEntity::Free(e);
  TWebEntity::Free(f);
}

TEST_F(JobListTest, PredecessorClassesHoldJobsBackAndLaterOnesPass) {
  auto* a = Make<EntityA2>();  // a descendant of the predecessor class counts
  auto* b = Make<EntityB>();
  auto* c = Make();
  TDownloadJob* ja = Add(a);
  TDownloadJob* jb = Add(b);
  EXPECT_EQ(Upcoming(), (std::vector<TDownloadJob*>{jb}));
  ASSERT_EQ(owner.list.PeekFirst(), ja);
  // A later job without predecessors passes the held one.
  TDownloadJob* jc = Add(c);
  EXPECT_EQ(Admitted(), (std::vector<TDownloadJob*>{ja, jc}));
  EXPECT_EQ(Upcoming(), (std::vector<TDownloadJob*>{jb}));
  // Picked or waiting, any admitted A holds B back.
  owner.list.EndPickedJob(ja);
  EXPECT_EQ(Upcoming(), (std::vector<TDownloadJob*>{jb}));
  ASSERT_EQ(owner.list.PeekFirst(), jc);
  owner.list.EndPickedJob(jc);
  EXPECT_TRUE(Upcoming().empty());
  EXPECT_EQ(Admitted(), (std::vector<TDownloadJob*>{jb}));
}

TEST_F(JobListTest, JobsOfEntitiesGoneInvalidAreDroppedOnAdmission) {
  auto* a = Make();
  auto* b = Make<EntityB>();
  TDownloadJob* ja = Add(a);
  Add(b);
  owner.list.PeekFirst();
  // B leaves the entity list (it is being destroyed elsewhere).
  std::erase(owner.entities.LockList(), b);
  owner.entities.UnlockList();
  owner.list.EndPickedJob(ja);
  EXPECT_TRUE(Upcoming().empty());
  EXPECT_TRUE(Admitted().empty());
  EXPECT_EQ(gJobsAlive, 0);
  owner.entities.LockList().push_back(b);
  owner.entities.UnlockList();
}

TEST_F(JobListTest, CarefulModeAdmitsNothingUntilTheRetriedJobEnds) {
  TWebEntity* e[4] = {Make(), Make(), Make(), Make()};
  TDownloadJob* j1 = Add(e[0]);
  TDownloadJob* j2 = Add(e[1]);
  TDownloadJob* j3 = Add(e[2]);
  ASSERT_EQ(owner.list.PeekFirst(), j1);
  owner.list.JobNeedsRetry(j1);
  EXPECT_TRUE(j1->Flags().Contains(TJobFlag::jfGotProblem));
  EXPECT_EQ(owner.list.SafeJobProcessing(), 1);
  // Waiting jobs went back, in order, to the front of the upcoming list.
  EXPECT_EQ(Upcoming(), (std::vector<TDownloadJob*>{j2, j3}));
  EXPECT_EQ(Admitted(), (std::vector<TDownloadJob*>{j1}));
  TDownloadJob* j4 = Add(e[3]);
  EXPECT_EQ(Upcoming(), (std::vector<TDownloadJob*>{j2, j3, j4}));
  // The retried job is the next one picked; a second retry does not count twice.
  ASSERT_EQ(owner.list.PeekFirst(), j1);
  owner.list.JobNeedsRetry(j1);
  EXPECT_EQ(owner.list.SafeJobProcessing(), 1);
  ASSERT_EQ(owner.list.PeekFirst(), j1);
  owner.list.EndPickedJob(j1);
  EXPECT_EQ(owner.list.SafeJobProcessing(), 0);
  EXPECT_EQ(Admitted(), (std::vector<TDownloadJob*>{j2, j3, j4}));
}

TEST_F(JobListTest, AFailedJobDoesNotEndAnotherJobsCarefulMode) {
  TWebEntity* e[3] = {Make(), Make(), Make()};
  TDownloadJob* failing = Add(e[0]);
  TDownloadJob* retried = Add(e[1]);
  ASSERT_EQ(owner.list.PeekFirst(), failing);
  ASSERT_EQ(owner.list.PeekFirst(), retried);
  owner.list.JobNeedsRetry(retried);
  ASSERT_EQ(owner.list.SafeJobProcessing(), 1);
  // The worker of the other job fails it: it carries jfGotProblem but was
  // never retried.
  failing->Include(TJobFlag::jfGotProblem);
  owner.list.EndPickedJob(failing);
  EXPECT_EQ(owner.list.SafeJobProcessing(), 1);
  Add(e[2]);
  EXPECT_EQ(Upcoming().size(), 1u);
  ASSERT_EQ(owner.list.PeekFirst(), retried);
  owner.list.EndPickedJob(retried);
  EXPECT_EQ(owner.list.SafeJobProcessing(), 0);
  EXPECT_TRUE(Upcoming().empty());
}

TEST_F(JobListTest, ARetryOfACancelledJobEndsItAndCarefulModeEnds) {
  auto* a = Make();
  auto* b = Make();
  TDownloadJob* ja = Add(a);
  ASSERT_EQ(owner.list.PeekFirst(), ja);
  owner.list.JobNeedsRetry(ja);  // careful mode
  ASSERT_EQ(owner.list.PeekFirst(), ja);
  owner.list.CancelJobs(a, TRequestMethod::mUnknown);
  EXPECT_EQ(gJobsAlive, 1);  // still with its worker
  owner.list.JobNeedsRetry(ja);
  EXPECT_EQ(gJobsAlive, 0);
  EXPECT_EQ(owner.list.SafeJobProcessing(), 0);
  TDownloadJob* jb = Add(b);
  EXPECT_EQ(owner.list.PeekFirst(), jb);
  owner.list.EndPickedJob(jb);
}

TEST_F(JobListTest, CancelByMethodRemovesOneMatchAndAllForUnknown) {
  auto* a = Make();
  auto* blocker = Make();
  auto* held = new EntityB(&owner);
  made.push_back(held);
  // Keep jobs of `held` upcoming behind an admitted A.
  TDownloadJob* jb = Add(blocker);
  const std::vector<std::uint8_t> x{'1'}, y{'2'};
  auto add = [&](TRequestMethod m, const std::vector<std::uint8_t>* d) {
    owner.list.AddJob(MakeJob(m, held, 0, true, d));
  };
  add(TRequestMethod::mPost, &x);
  add(TRequestMethod::mPost, &y);
  add(TRequestMethod::mGet, nullptr);
  ASSERT_EQ(Upcoming().size(), 3u);
  // A specific method removes only the last matching one.
  owner.list.CancelJobs(held, TRequestMethod::mPost);
  ASSERT_EQ(Upcoming().size(), 2u);
  EXPECT_EQ(static_cast<TPutJob*>(Upcoming()[0])->GetPostData(), x);
  owner.list.CancelJobs(held, TRequestMethod::mUnknown);
  EXPECT_TRUE(Upcoming().empty());
  // Admitted: a picked job stays with its worker; a waiting one is freed.
  TDownloadJob* j1 = Add(a);
  ASSERT_EQ(owner.list.PeekFirst(), jb);
  ASSERT_EQ(owner.list.PeekFirst(), j1);
  owner.list.CancelJobs(a, TRequestMethod::mGet);
  EXPECT_EQ(owner.list.GetProcessingCount(), 1);
  EXPECT_EQ(gJobsAlive, 2);
  owner.list.EndPickedJob(j1);  // the worker ends it: freed
  EXPECT_EQ(gJobsAlive, 1);
  owner.list.EndPickedJob(jb);
  EXPECT_EQ(gJobsAlive, 0);
}

TEST_F(JobListTest, ClearResetsThePickIndexAndReportsValidEntities) {
  auto* a = Make();
  auto* b = Make();
  auto* gone = Make();
  TDownloadJob* ja = Add(a);
  TDownloadJob* jb = Add(b);
  (void)jb;
  Add(gone);
  ja->Reason = "picked";
  ASSERT_EQ(owner.list.PeekFirst(), ja);
  gone->Handle(TWebAction::acObjectDestroy, TDataFlag::ldWeb, 0);  // no longer valid
  owner.list.ClearAllJobs(true);
  // Removed jobs with valid entities are reported; the picked one is not
  // removed (its worker has it).
  ASSERT_EQ(owner.crushed.size(), 1u);
  EXPECT_EQ(owner.crushed[0].entity, b);
  EXPECT_TRUE(owner.crushed[0].gaveUp);
  EXPECT_EQ(owner.crushed[0].className, "TEntityA");
  EXPECT_EQ(owner.list.GetProcessingCount(), 0);
  EXPECT_EQ(gJobsAlive, 1);
  // A job added now is picked (the index no longer points past it).
  TDownloadJob* next = Add(b);
  EXPECT_EQ(owner.list.PeekFirst(), next);
  owner.list.EndPickedJob(ja);
  owner.list.EndPickedJob(next);
  EXPECT_EQ(gJobsAlive, 0);
  std::erase(made, gone);
  TWebEntity::Free(gone);
}

TEST_F(JobListTest, AClearedRetryDoesNotLowerALaterCarefulMode) {
  auto* a = Make();
  auto* b = Make();
  TDownloadJob* ja = Add(a);
  ASSERT_EQ(owner.list.PeekFirst(), ja);
  owner.list.JobNeedsRetry(ja);
  ASSERT_EQ(owner.list.PeekFirst(), ja);
  owner.list.ClearAllJobs(false);
  TDownloadJob* jb = Add(b);
  ASSERT_EQ(owner.list.PeekFirst(), jb);
  owner.list.JobNeedsRetry(jb);
  ASSERT_EQ(owner.list.SafeJobProcessing(), 1);
  owner.list.EndPickedJob(ja);  // the old worker ends its cleared job
  EXPECT_EQ(owner.list.SafeJobProcessing(), 1);
  ASSERT_EQ(owner.list.PeekFirst(), jb);
  owner.list.EndPickedJob(jb);
  EXPECT_EQ(gJobsAlive, 0);
}

TEST_F(JobListTest, EntriesMadeForJobs) {
  auto* a = Make();
  a->SetAlternativeLoadingProcess(true);
  auto job = MakeJob(TRequestMethod::mGet, a, 7, true, nullptr);
  job->Reason = "because";
  auto entry = NewEntryByJob(*job);
  EXPECT_EQ(entry->Session(), 7);
  EXPECT_EQ(entry->EntityClassName(), "TEntityA");
  EXPECT_EQ(entry->DataFlag(), TDataFlag::ldAlternative);
  EXPECT_TRUE(entry->JobFlags().Contains(TJobFlag::jfInteractive));
  EXPECT_EQ(entry->Method, TRequestMethod::mGet);
  EXPECT_EQ(entry->URN, "/index.json");  // the path below the service root
  EXPECT_EQ(entry->Reason, "because");

  const std::vector<std::uint8_t> body{'{', '}'};
  auto post = MakeJob(TRequestMethod::mPost, nullptr, 3, true, &body);
  auto e2 = NewEntryByJob(*post);
  EXPECT_EQ(e2->EntityClassName(), "Non-qds entity");
  EXPECT_EQ(e2->DataFlag(), TDataFlag::ldUnknown);
  EXPECT_TRUE(e2->JobFlags().Empty());
  EXPECT_TRUE(e2->URN.empty());
  EXPECT_EQ(e2->GetPostBody(), body);
}

TEST(ValidHostTest, Table) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  } cases[] = {
      {" qds.example ", true, "qds.example", 80},
      {"qds.example:8080", true, "qds.example", 8080},
      {" qds.example : 81 ", true, "qds.example", 81},
      {"qds.example:", false, "", 0},
      {"qds.example:http", false, "", 0},
      {"qds.example:80:90", false, "", 0},
      {"qds.example:65535", true, "qds.example", 65535},
      {"qds.example:65536", false, "", 0},
      {"qds.example:-1", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string host;
    int port = -1;
    EXPECT_EQ(ValidHost(c.text, host, port), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
}

}  // namespace
}  // namespace tarvo
