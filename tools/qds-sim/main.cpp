// qds-sim: runs the market-data service simulator (testing/QdsSimulator.h)
// as a program, for the demo terminal and the benchmarks.
//
//   qds-sim [--port N] [--passport-port N] [--no-passport] [--data DIR]
//           [--user U] [--password P] [--require-passport]
//           [--encoding auto|identity|gzip|deflate|raw-deflate]
//           [--record-limit N] [--once | --seconds N]
//
// The simulator records every request for tests' checks; a program that
// serves for days keeps only the newest --record-limit of them (default
// 1000, at least 1), so its memory stays bounded however long it runs.
//
// Once both servers listen it prints one line to standard output,
//   qds-sim data http://127.0.0.1:<port> passport https://127.0.0.1:<port>/authenticate documents
//   <n>
// (passport "-" without the endpoint), and serves until SIGINT or SIGTERM,
// until the first request to the data service has been answered (--once), or
// for N seconds (--seconds). After a normal end it prints what it served,
//   qds-sim served <data requests> data <passport requests> passport kept <k> dropped <d>
// (kept: the records the limit left; dropped: those it let go). Exit code 0
// after a normal end, 1 when the simulator cannot start, 2 for a bad command
// line.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "testing/QdsSimulator.h"

namespace {

volatile std::sig_atomic_t gSignalled = 0;

// Enough for a look at the recent traffic. --once does not read the record
// (it watches the simulator's count of data requests, which the limit never
// lowers), so any limit serves it.
constexpr long kDefaultRecordLimit = 1000;
constexpr long kMaxRecordLimit = 10000000;

void OnSignal(int) {
  gSignalled = 1;
}

int Usage(const std::string& problem) {
  std::cerr << "qds-sim: " << problem << "\n"
            << "usage: qds-sim [--port N] [--passport-port N] [--no-passport] [--data DIR]\n"
               "               [--user U] [--password P] [--require-passport]\n"
               "               [--encoding auto|identity|gzip|deflate|raw-deflate]\n"
               "               [--record-limit N] [--once | --seconds N]\n"
               "  --record-limit N  how many of the newest requests the record keeps (default "
            << kDefaultRecordLimit << ")\n";
  return 2;
}

std::optional<long> Number(const std::string& text, long low, long high) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const long v = std::stol(text);
  if (v < low || v > high) return std::nullopt;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  using tarvo::testing::QdsEncoding;
  using tarvo::testing::QdsSimulator;

  QdsSimulator::Options options;
  options.requestLimit = static_cast<std::size_t>(kDefaultRecordLimit);
  QdsEncoding encoding = QdsEncoding::Auto;
  bool once = false;
  std::optional<long> seconds;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (arg == "--help" || arg == "-h") {
      Usage("the market-data service simulator");
      return 0;
    } else if (arg == "--port" || arg == "--passport-port") {
      const auto v = value();
      const auto n = v ? Number(*v, 0, 65535) : std::nullopt;
      if (!n) return Usage(arg + " needs a port number (0-65535)");
      (arg == "--port" ? options.port : options.passportPort) = static_cast<std::uint16_t>(*n);
    } else if (arg == "--no-passport") {
      options.passport = false;
    } else if (arg == "--require-passport") {
      options.requirePassport = true;
    } else if (arg == "--data" || arg == "--user" || arg == "--password") {
      const auto v = value();
      if (!v) return Usage(arg + " needs a value");
      (arg == "--data" ? options.dataDir : arg == "--user" ? options.user : options.password) = *v;
    } else if (arg == "--encoding") {
      const auto v = value();
      if (!v) return Usage("--encoding needs a value");
      if (*v == "auto")
        encoding = QdsEncoding::Auto;
      else if (*v == "identity")
        encoding = QdsEncoding::Identity;
      else if (*v == "gzip")
        encoding = QdsEncoding::Gzip;
      else if (*v == "deflate")
        encoding = QdsEncoding::Deflate;
      else if (*v == "raw-deflate")
        encoding = QdsEncoding::RawDeflate;
      else
        return Usage("unknown encoding \"" + *v + "\"");
    } else if (arg == "--record-limit") {
      const auto v = value();
      const auto n = v ? Number(*v, 1, kMaxRecordLimit) : std::nullopt;
      if (!n)
        return Usage("--record-limit needs a number of requests (1-" +
                     std::to_string(kMaxRecordLimit) + ")");
      options.requestLimit = static_cast<std::size_t>(*n);
    } else if (arg == "--once") {
      once = true;
    } else if (arg == "--seconds") {
      const auto v = value();
      seconds = v ? Number(*v, 1, 31 * 24 * 3600) : std::nullopt;
      if (!seconds) return Usage("--seconds needs a number of seconds (at least 1)");
    } else {
      return Usage("unknown argument \"" + arg + "\"");
    }
  }
  if (once && seconds) return Usage("--once and --seconds exclude each other");

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  try {
    QdsSimulator sim(options);
    sim.SetEncoding(encoding);
    std::cout << "qds-sim data http://127.0.0.1:" << sim.Port() << " passport "
              << (options.passport ? sim.PassportUrl() : std::string("-")) << " documents "
              << sim.DocumentPaths().size() << std::endl;
    const auto end = seconds ? std::chrono::steady_clock::now() + std::chrono::seconds(*seconds)
                             : std::chrono::steady_clock::time_point::max();
    while (!gSignalled && std::chrono::steady_clock::now() < end) {
      // Counted, not looked for in the record: with a small limit, passport
      // requests could push the data request out of it before this looks.
      if (once && sim.DataRequestCount() > 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The request is recorded before its answer goes out; stopping lets an
    // answer under way finish before the threads end.
    sim.Stop();
    const std::size_t data = sim.DataRequestCount(), kept = sim.RequestCount(),
                      dropped = sim.DroppedRequests();
    std::cout << "qds-sim served " << data << " data " << kept + dropped - data << " passport kept "
              << kept << " dropped " << dropped << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "qds-sim: " << e.what() << "\n";
    return 1;
  }
}
