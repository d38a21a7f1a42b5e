// Start and stop of the in-process test servers: a bare library server run by
// HttpServerThread, and HttpTestServer, which runs on it.
#include "testing/HttpServerThread.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "testing/HttpTestServer.h"
#include "testing/RawClient.h"

namespace tarvo::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A library server that waits long on its own: 30 seconds for the next
// request of a kept-alive connection, for a read and for a write.
std::unique_ptr<httplib::Server> PatientServer() {
  auto s = std::make_unique<httplib::Server>();
  s->set_keep_alive_timeout(30);
  s->set_keep_alive_max_count(100);
  s->set_read_timeout(30, 0);
  s->set_write_timeout(30, 0);
  s->Get("/small", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("ok", "text/plain");
  });
  return s;
}

const std::string kGetSmall = "GET /small HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n";

TEST(HttpServerThread, StopEndsIdleAndSilentConnectionsAtOnce) {
  auto server = PatientServer();
  HttpServerThread thread;
  const std::uint16_t port = thread.Start(*server, "127.0.0.1", 0, "test");
  // Kept alive after an answer; connected without a byte; half a request.
  RawClient idle(port), silent(port), partial(port);
  ASSERT_TRUE(idle.Connected() && silent.Connected() && partial.Connected());
  ASSERT_TRUE(idle.Send(kGetSmall));
  ASSERT_NE(idle.ReadAnswer(2).find("\r\n\r\nok"), std::string::npos);
  ASSERT_TRUE(partial.Send("GET /small HTTP/1.1\r\nHo"));
  // Each must be taken by a worker before the stop for the case to mean anything.
  for (int i = 0; i < 1000 && HttpServerThread::ConnectionSockets(port).size() < 3; ++i)
    std::this_thread::sleep_for(2ms);
  ASSERT_EQ(HttpServerThread::ConnectionSockets(port).size(), 3u);

  const auto start = Clock::now();
  thread.Stop();
  // The server would otherwise hold each for its 30-second time-outs.
  EXPECT_LT(Clock::now() - start, 5s);
  for (RawClient* c : {&idle, &silent, &partial})
    EXPECT_EQ(c->ReadToEnd().end, RawClient::End::Closed);
  EXPECT_TRUE(HttpServerThread::ConnectionSockets(port).empty());
}

TEST(HttpServerThread, AnAnswerUnderWayIsSentWholeWhileTheServerStops) {
  const std::string big(2 * 1024 * 1024, 'b');
  auto server = PatientServer();
  std::promise<void> entered;
  RawClient* idle = nullptr;
  server->Get("/big", [&](const httplib::Request&, httplib::Response& res) {
    entered.set_value();
    // Answers only once the stop has ended the idle connection: it has
    // passed this one by then.
    for (int i = 0; i < 5000 && !idle->EndedByServer(); ++i) std::this_thread::sleep_for(2ms);
    // From a provider, as the test servers send bodies: the library gives
    // such a body up when its loop stops.
    res.set_content_provider(big.size(), "application/octet-stream",
                             [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               return sink.write(big.data() + offset,
                                                 std::min<std::size_t>(length, 65536));
                             });
  });
  HttpServerThread thread;
  const std::uint16_t port = thread.Start(*server, "127.0.0.1", 0, "test");
  RawClient idleClient(port), client(port);
  ASSERT_TRUE(idleClient.Connected() && client.Connected());
  idle = &idleClient;
  ASSERT_TRUE(client.Send("GET /big HTTP/1.1\r\nHost: x\r\n\r\n"));
  entered.get_future().wait();
  auto stopping = std::async(std::launch::async, [&] { thread.Stop(); });
  const RawClient::Received got = client.ReadToEnd();
  EXPECT_EQ(got.end, RawClient::End::Closed);
  EXPECT_EQ(RawClient::BodyOf(got.bytes), big);
  EXPECT_EQ(stopping.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(idleClient.ReadToEnd().end, RawClient::End::Closed);
}

TEST(HttpServerThread, AnAnswerNobodyReadsIsCutAfterTheGrace) {
  auto server = PatientServer();
  // Writes for ever; the client never reads, so the writes soon block.
  server->Get("/endless", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [](std::size_t, httplib::DataSink& sink) {
      const std::string block(65536, 'e');
      return sink.write(block.data(), block.size());
    });
  });
  HttpServerThread thread(HttpServerThread::Options{200ms});
  const std::uint16_t port = thread.Start(*server, "127.0.0.1", 0, "test");
  RawClient client(port);
  ASSERT_TRUE(client.Send("GET /endless HTTP/1.1\r\nHost: x\r\n\r\n"));
  for (int i = 0; i < 1000 && HttpServerThread::ConnectionSockets(port).empty(); ++i)
    std::this_thread::sleep_for(2ms);
  std::this_thread::sleep_for(100ms);  // the buffers fill
  const auto start = Clock::now();
  thread.Stop();
  // Without the cut it would wait for the 30-second write time-out.
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST(HttpServerThread, StopIsSafeFromManyThreadsAndRightAfterStart) {
  // Servers started and stopped at once, on several threads, and one object
  // stopped by several threads together: each stop returns, none twice.
  std::vector<std::thread> threads;
  std::atomic<int> stopped{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        httplib::Server server;
        HttpServerThread thread;
        thread.Start(server, "127.0.0.1", 0, "test");
        if (i % 2 == 0) {
          std::thread other([&] { thread.Stop(); });
          thread.Stop();
          other.join();
        }
        ++stopped;  // the other half by the destructor
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(stopped.load(), 80);
}

TEST(HttpServerThread, StartRefusesWhatItCannotServe) {
  httplib::Server first;
  HttpServerThread running;
  const std::uint16_t taken = running.Start(first, "127.0.0.1", 0, "first");
  struct Case {
    const char* address;
    std::uint16_t port;
  };
  for (const Case c : {Case{"127.0.0.1", taken}, Case{"not an address", 0}}) {
    SCOPED_TRACE(c.address);
    httplib::Server server;
    HttpServerThread thread;
    try {
      thread.Start(server, c.address, c.port, "Owner");
      ADD_FAILURE() << "started";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Owner: cannot bind to ", 0), 0u) << e.what();
    }
    thread.Stop();  // nothing to stop: returns
  }
  EXPECT_THROW(running.Start(first, "127.0.0.1", 0, "again"), std::logic_error);
}

// HttpTestServer gets the same stop: a client that connected and said nothing
// holds no thread of it (the library would wait five seconds for its request),
// and Stop may come from several threads at once.
TEST(HttpTestServerStop, EndsASilentConnectionAtOnce) {
  ProxyEnvironmentCleared noProxy;
  HttpTestServer server;
  server.On("/data", HttpReply("hello"));
  {
    RawClient asks(server.Port());
    ASSERT_TRUE(asks.Send("GET /data HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(RawClient::BodyOf(asks.ReadToEnd().bytes), "hello");
  }
  RawClient silent(server.Port());
  ASSERT_TRUE(silent.Connected());
  for (int i = 0; i < 1000 && HttpServerThread::ConnectionSockets(server.Port()).empty(); ++i)
    std::this_thread::sleep_for(2ms);
  const auto start = Clock::now();
  std::thread other([&] { server.Stop(); });
  server.Stop();
  other.join();
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_EQ(silent.ReadToEnd().end, RawClient::End::Closed);
  EXPECT_EQ(server.RequestCount(), 1u);
}

// A stop during the pause before the headers ends the pause at once; the
// client must learn that it got no answer, not read an empty success.
TEST(HttpTestServerStop, APauseBeforeTheHeadersEndsInAFailureNotASuccess) {
  ProxyEnvironmentCleared noProxy;
  HttpTestServer server;
  HttpReply slow("scripted");
  slow.delayBeforeHeaders = 10s;
  slow.headers = {{"X-Scripted", "yes"}};
  server.On("/slow", slow);
  RawClient asks(server.Port());
  ASSERT_TRUE(asks.Send("GET /slow HTTP/1.1\r\nHost: x\r\n\r\n"));
  // The request is recorded before the pause begins.
  for (int i = 0; i < 1000 && server.RequestCount() == 0; ++i) std::this_thread::sleep_for(2ms);
  ASSERT_EQ(server.RequestCount(), 1u);
  const auto start = Clock::now();
  std::thread stopper([&] { server.Stop(); });
  const RawClient::Received got = asks.ReadToEnd();
  stopper.join();
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_FALSE(got.bytes.starts_with("HTTP/1.1 200")) << got.bytes;
  EXPECT_TRUE(got.bytes.starts_with("HTTP/1.1 503")) << got.bytes;
  EXPECT_NE(got.bytes.find("Connection: close\r\n"), std::string::npos) << got.bytes;
  EXPECT_EQ(got.bytes.find("X-Scripted"), std::string::npos) << got.bytes;
  EXPECT_EQ(got.bytes.find("scripted"), std::string::npos) << got.bytes;
  EXPECT_EQ(got.end, RawClient::End::Closed);
}

}  // namespace
}  // namespace tarvo::testing
