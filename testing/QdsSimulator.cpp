#include "testing/QdsSimulator.h"

#include <httplib.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/core/DateTime.h"
#include "platform/core/Text.h"
#include "platform/net/Inet.h"
#include "testing/HttpServerThread.h"
#include "testing/Sandbox.h"

namespace tarvo::testing {

namespace {

constexpr std::size_t kBlock = 64 * 1024;

std::int64_t UnixNow() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::uint64_t Fnv1a(std::string_view data) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : data) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string Hex(std::uint64_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) out[static_cast<std::size_t>(i)] = kDigits[v & 15];
  return out;
}

// Decodes standard base64; nullopt for anything else.
std::optional<std::string> FromBase64(std::string_view in) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (in.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = in[i + static_cast<std::size_t>(k)];
      if (c == '=' && i + 4 == in.size() && k >= 2) {
        v[k] = 0;
        ++pad;
      } else if (pad > 0 || (v[k] = value(c)) < 0) {
        return std::nullopt;
      }
    }
    const unsigned triple = (static_cast<unsigned>(v[0]) << 18) |
                            (static_cast<unsigned>(v[1]) << 12) |
                            (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
    out += static_cast<char>((triple >> 16) & 0xFF);
    if (pad < 2) out += static_cast<char>((triple >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(triple & 0xFF);
  }
  return out;
}

// Whether an Accept-Encoding value accepts a coding: listed (or "*") without q=0.
bool Accepts(std::string_view header, std::string_view coding) {
  bool star = false;
  std::size_t pos = 0;
  while (pos <= header.size()) {
    std::size_t comma = header.find(',', pos);
    if (comma == std::string_view::npos) comma = header.size();
    std::string_view item = header.substr(pos, comma - pos);
    pos = comma + 1;
    std::string_view name = item;
    bool refused = false;
    if (const std::size_t semi = item.find(';'); semi != std::string_view::npos) {
      name = item.substr(0, semi);
      std::string params = Lower(platform::TrimView(item.substr(semi + 1)));
      params.erase(std::remove(params.begin(), params.end(), ' '), params.end());
      if (params.rfind("q=", 0) == 0) {
        const std::string q = params.substr(2);
        refused = q.find_first_not_of("0.") == std::string::npos;
      }
    }
    const std::string token = Lower(platform::TrimView(name));
    if (token == coding) return !refused;
    if (token == "*" && !refused) star = true;
  }
  return star;
}

std::string ContentTypeOf(std::string_view path) {
  auto ends = [&](std::string_view ext) {
    return path.size() >= ext.size() && Lower(path.substr(path.size() - ext.size())) == ext;
  };
  if (ends(".json")) return "application/json; charset=utf-8";
  if (ends(".xml")) return "application/xml; charset=utf-8";
  return "application/octet-stream";
}

// The value of one cookie in the request's Cookie headers, or nullopt.
std::optional<std::string> CookieValue(const httplib::Request& req, std::string_view name) {
  const std::size_t n = req.get_header_value_count("Cookie");
  for (std::size_t i = 0; i < n; ++i) {
    const std::string header = req.get_header_value("Cookie", i);
    std::size_t pos = 0;
    while (pos <= header.size()) {
      std::size_t semi = header.find(';', pos);
      if (semi == std::string::npos) semi = header.size();
      const std::string_view part =
          platform::TrimView(std::string_view(header).substr(pos, semi - pos));
      pos = semi + 1;
      const std::size_t eq = part.find('=');
      if (eq != std::string_view::npos && part.substr(0, eq) == name)
        return std::string(part.substr(eq + 1));
    }
  }
  return std::nullopt;
}

// The accepted socket of a request, -1 when it cannot be found. It stays open
// while the request's handler runs, so the descriptor cannot be reused meanwhile.
int ConnectionSocket(int localPort, int remotePort) {
  const auto found = HttpServerThread::ConnectionSockets(localPort, remotePort);
  return found.empty() ? -1 : found.front();
}

// Resets the connection now. The server library shuts a socket down in order
// (FIN) before it closes it, so a zero linger alone would not reach the client
// as a reset; disconnecting the socket (connect with AF_UNSPEC) sends the RST
// at once and leaves the descriptor to the library, which closes it as usual.
void ResetConnection(int localPort, int remotePort) {
  const int fd = ConnectionSocket(localPort, remotePort);
  if (fd < 0) return;
  const linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  sockaddr none{};
  none.sa_family = AF_UNSPEC;
  ::connect(fd, &none, sizeof none);
}

// Ends the connection without a byte of answer.
void DropConnection(int localPort, int remotePort) {
  const int fd = ConnectionSocket(localPort, remotePort);
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

struct Doc {
  std::shared_ptr<const std::string> body;
  std::string etag;
  std::string lastModified;
  std::int64_t modified = 0;
  std::string contentType;
  // Encoded forms, made on first use.
  std::mutex encodeMutex;
  std::shared_ptr<const std::string> gzip, deflate, rawDeflate;

  std::shared_ptr<const std::string> Encoded(QdsEncoding e) {
    std::lock_guard lock(encodeMutex);
    std::shared_ptr<const std::string>* slot = e == QdsEncoding::Gzip      ? &gzip
                                               : e == QdsEncoding::Deflate ? &deflate
                                                                           : &rawDeflate;
    if (!*slot)
      *slot = std::make_shared<const std::string>(e == QdsEncoding::Gzip ? GzipBytes(*body)
                                                  : e == QdsEncoding::Deflate
                                                      ? DeflateBytes(*body, true)
                                                      : DeflateBytes(*body, false));
    return *slot;
  }
};

// What one answer will be, decided before any byte goes out.
struct Plan {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::shared_ptr<const std::string> body = std::make_shared<const std::string>();
  std::string contentType = "text/plain; charset=utf-8";
  std::string contentEncoding;
  QdsFault fault = QdsFault::None;
  std::chrono::milliseconds stall{0};
};

}  // namespace

std::string_view QdsFaultName(QdsFault fault) noexcept {
  switch (fault) {
    case QdsFault::None:
      return "None";
    case QdsFault::BadRequest:
      return "BadRequest";
    case QdsFault::Unauthorized:
      return "Unauthorized";
    case QdsFault::ForbiddenHtml:
      return "ForbiddenHtml";
    case QdsFault::NotFound:
      return "NotFound";
    case QdsFault::ServerErrorTitle:
      return "ServerErrorTitle";
    case QdsFault::Unavailable:
      return "Unavailable";
    case QdsFault::ErrorDocument:
      return "ErrorDocument";
    case QdsFault::Empty200:
      return "Empty200";
    case QdsFault::NoContent:
      return "NoContent";
    case QdsFault::MalformedJson:
      return "MalformedJson";
    case QdsFault::TruncatedGzip:
      return "TruncatedGzip";
    case QdsFault::StallHeaders:
      return "StallHeaders";
    case QdsFault::StallBody:
      return "StallBody";
    case QdsFault::Reset:
      return "Reset";
  }
  return "?";
}

// --- dates ----------------------------------------------------------------------------------

namespace {
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

std::string HttpDate(std::int64_t unixSeconds) {
  std::int64_t days = unixSeconds / 86400;
  std::int64_t secs = unixSeconds % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  int y = 0, m = 0, d = 0;
  platform::CivilFromDays(days, y, m, d);
  const int weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[weekday], d,
                kMonths[m - 1], y, static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                static_cast<int>(secs % 60));
  return text;
}

std::optional<std::int64_t> ParseHttpDate(std::string_view text) {
  text = platform::TrimView(text);
  // "Sun, 06 Nov 1994 08:49:37 GMT"
  if (text.size() != 29 || text[3] != ',' || text[4] != ' ' || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT")
    return std::nullopt;
  auto number = [&](std::size_t pos, std::size_t len) -> int {
    int v = 0;
    for (std::size_t i = pos; i < pos + len; ++i) {
      if (text[i] < '0' || text[i] > '9') return -1;
      v = v * 10 + (text[i] - '0');
    }
    return v;
  };
  int month = 0;
  for (int i = 0; i < 12; ++i)
    if (text.substr(8, 3) == kMonths[i]) month = i + 1;
  const int day = number(5, 2), year = number(12, 4);
  const int h = number(17, 2), mi = number(20, 2), s = number(23, 2);
  if (month == 0 || day < 1 || day > platform::DaysInMonth(year, month) || year < 1970 || h < 0 ||
      h > 23 || mi < 0 || mi > 59 || s < 0 || s > 60)
    return std::nullopt;
  return platform::DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) *
             86400 +
         h * 3600 + mi * 60 + s;
}

// --- the simulator --------------------------------------------------------------------------

struct QdsSimulator::Impl {
  Options options;
  std::unique_ptr<httplib::Server> data;
  std::unique_ptr<httplib::Server> passport;
  // After the servers: they end before them.
  HttpServerThread dataThread, passportThread;
  std::uint16_t port = 0, passportPort = 0;
  std::mutex stopMutex;  // stopped, mapped
  bool stopped = false;
  bool mapped = false;

  mutable std::mutex mutex;  // everything below, except what has its own lock
  std::map<std::string, std::shared_ptr<Doc>> docs;
  std::map<std::string, DocumentSource> sources;
  // By lower-case name: the name as given and the value (nullopt: left out).
  std::map<std::string, std::pair<std::string, std::optional<std::string>>> overrides;
  const std::int64_t started = UnixNow();
  std::uint64_t generation = 0;
  QdsEncoding encoding = QdsEncoding::Auto;
  std::string queryVersion = "1", statementVersion = "1";
  std::string balancer = "qds-sim-1";
  std::string cacheControl = "no-cache";
  std::map<std::string, QdsFaultScript> faults;
  std::optional<QdsFaultScript> passportFault;
  std::vector<std::string> tokens;  // valid passport tokens
  std::uint64_t tokenCounter = 0;
  std::size_t granted = 0;
  // The newest records, at most options.requestLimit of them (0: all).
  std::deque<QdsRequest> requests;
  std::size_t dropped = 0;       // records let go for the limit since the last clear
  std::size_t dataRequests = 0;  // to the data service since the last clear, kept or not
  mutable std::condition_variable recorded;

  // Stalls: woken by Stop and ReleaseStalls.
  std::mutex stallMutex;
  std::condition_variable stallCv;
  std::atomic<bool> stopping{false};
  std::uint64_t releases = 0;

  // Holds until released, stopped or limit; false when stopping.
  bool Stall(std::chrono::milliseconds limit) {
    std::unique_lock lock(stallMutex);
    const std::uint64_t start = releases;
    stallCv.wait_for(lock, limit, [&] { return stopping.load() || releases != start; });
    return !stopping.load();
  }
  bool Sleep(std::chrono::milliseconds d) {
    std::unique_lock lock(stallMutex);
    return !stallCv.wait_for(lock, d, [&] { return stopping.load(); });
  }

  void PutDocument(const std::string& path, std::string body) {
    auto doc = std::make_shared<Doc>();
    doc->contentType = ContentTypeOf(path);
    std::lock_guard lock(mutex);
    std::int64_t modified = UnixNow();
    if (const auto it = docs.find(path); it != docs.end())
      modified = std::max(modified, it->second->modified + 1);
    doc->modified = modified;
    doc->lastModified = HttpDate(modified);
    doc->etag = "\"" + Hex(Fnv1a(body)).substr(0, 12) + "-" + std::to_string(++generation) + "\"";
    doc->body = std::make_shared<const std::string>(std::move(body));
    docs[path] = std::move(doc);
  }

  void LoadFolder(const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) throw std::runtime_error("QdsSimulator: no data folder " + dir);
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      std::ifstream in(it->path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      if (!in && !in.eof())
        throw std::runtime_error("QdsSimulator: cannot read " + it->path().string());
      PutDocument("/" + fs::relative(it->path(), dir, ec).generic_string(), bytes.str());
    }
    if (ec) throw std::runtime_error("QdsSimulator: cannot list " + dir + ": " + ec.message());
  }

  void Record(QdsRequest rec) {
    {
      std::lock_guard lock(mutex);
      if (!rec.passport) ++dataRequests;
      requests.push_back(std::move(rec));
      if (options.requestLimit > 0)
        while (requests.size() > options.requestLimit) {
          requests.pop_front();
          ++dropped;
        }
    }
    recorded.notify_all();
  }

  // The fault for this request, counting it down.
  QdsFaultScript TakeFault(bool toPassport, const std::string& path) {
    std::lock_guard lock(mutex);
    QdsFaultScript* script = nullptr;
    if (toPassport) {
      if (passportFault) script = &*passportFault;
    } else if (const auto it = faults.find(path); it != faults.end()) {
      script = &it->second;
    }
    if (!script || script->fault == QdsFault::None || script->times == 0) return {};
    QdsFaultScript taken = *script;
    if (script->times > 0) --script->times;
    return taken;
  }

  std::optional<std::string> PassportMarker(const httplib::Request& req) {
    const auto cookie = CookieValue(req, PassportCookie);
    if (!cookie) return std::nullopt;
    std::lock_guard lock(mutex);
    return std::find(tokens.begin(), tokens.end(), *cookie) != tokens.end() ? "granted" : "denied";
  }

  // Turns a fault into the answer; the normal document (or text) is the
  // material of the faults that send it partly.
  static void ApplyFault(const QdsFaultScript& f, Plan& plan, const std::shared_ptr<Doc>& doc) {
    auto text = [&](const char* fallback) {
      return f.text.empty() ? std::string(fallback) : f.text;
    };
    auto plain = [&](int status, const std::string& body) {
      plan.status = status;
      plan.body = std::make_shared<const std::string>(body);
      plan.contentType = "text/plain; charset=utf-8";
      plan.contentEncoding.clear();
    };
    plan.fault = f.fault;
    switch (f.fault) {
      case QdsFault::None:
        break;
      case QdsFault::BadRequest:
        plain(400, text("Bad Request"));
        break;
      case QdsFault::Unauthorized:
        plain(401, text("Unauthorized"));
        break;
      case QdsFault::ForbiddenHtml:
        plain(403, "<html><head><title>403 Forbidden</title></head><body><h1>" +
                       text("Access to this resource is forbidden") +
                       "</h1><p>qds-sim</p></body></html>");
        plan.contentType = "text/html; charset=utf-8";
        break;
      case QdsFault::NotFound:
        plain(404, text("Not Found"));
        break;
      case QdsFault::ServerErrorTitle:
        // <hr> is left open, as servers write it: the page is no XML document.
        plain(500, "<html><head><title>" + text("Internal Server Error") +
                       "</title></head><body><h1>Internal Server Error</h1><hr><p>qds-sim</p>"
                       "</body></html>");
        plan.contentType = "text/html; charset=utf-8";
        break;
      case QdsFault::Unavailable:
        plain(503, text("Service Unavailable"));
        plan.headers.emplace_back("Retry-After", "1");
        break;
      case QdsFault::ErrorDocument: {
        std::string escaped;
        for (char c : text("Simulated upstream error")) {
          if (c == '"' || c == '\\') escaped += '\\';
          if (static_cast<unsigned char>(c) >= 0x20) escaped += c;
        }
        plain(200, "{\"error\":\"" + escaped + "\"}");
        plan.contentType = "application/json; charset=utf-8";
        break;
      }
      case QdsFault::Empty200:
        plain(200, "");
        break;
      case QdsFault::NoContent:
        plain(204, "");
        break;
      case QdsFault::MalformedJson: {
        const std::string whole = doc ? *doc->body : std::string("{\"block\":{\"data\":[[1,2]]}}");
        plain(200, whole.substr(0, std::max<std::size_t>(1, whole.size() / 2)));
        plan.contentType = "application/json; charset=utf-8";
        break;
      }
      case QdsFault::TruncatedGzip: {
        const std::string packed =
            doc ? *doc->Encoded(QdsEncoding::Gzip) : GzipBytes(std::string(4096, 'x'));
        plain(200, packed.substr(0, packed.size() / 2));
        plan.contentType = doc ? doc->contentType : "application/json; charset=utf-8";
        plan.contentEncoding = "gzip";
        break;
      }
      case QdsFault::StallHeaders:
      case QdsFault::StallBody:
      case QdsFault::Reset:
        plan.stall = f.stall;
        if (plan.body->empty())
          plan.body = std::make_shared<const std::string>(std::string(4096, ' '));
        break;
    }
  }

  Plan PlanData(const httplib::Request& req, const RecordedRequest& rec,
                const QdsFaultScript& fault, const std::string& accept) {
    Plan plan;
    std::shared_ptr<Doc> doc;
    QdsEncoding mode;
    bool requirePassport = false;
    DocumentSource source;
    {
      std::lock_guard lock(mutex);
      requirePassport = options.requirePassport;
      // A map lookup: no path ever reaches the file system.
      if (const auto it = docs.find(req.path); it != docs.end()) {
        doc = it->second;
      } else {
        std::size_t best = 0;
        for (const auto& [prefix, fn] : sources)
          if (prefix.size() >= best && req.path.compare(0, prefix.size(), prefix) == 0) {
            best = prefix.size();
            source = fn;
          }
      }
      mode = encoding;
      plan.headers.emplace_back("Cache-Control", cacheControl);
      plan.headers.emplace_back("X-Tarvo-Balancer", balancer);
      if (!queryVersion.empty())
        plan.headers.emplace_back("X-Tarvo-QDS-Query-Version", queryVersion);
      if (!statementVersion.empty())
        plan.headers.emplace_back("X-Tarvo-QDS-Statement-Version", statementVersion);
    }
    const auto marker = PassportMarker(req);
    if (marker) plan.headers.emplace_back("X-TarvoPassport-Marker", *marker);
    if (source) {
      // Made for this request only: the validators follow the text, the
      // date is the simulator's start.
      if (std::optional<std::string> body = source(rec)) {
        doc = std::make_shared<Doc>();
        doc->contentType = ContentTypeOf(req.path);
        doc->modified = started;
        doc->lastModified = HttpDate(started);
        doc->etag = "\"g" + Hex(Fnv1a(*body)).substr(0, 12) + "\"";
        doc->body = std::make_shared<const std::string>(std::move(*body));
      }
    }

    if (fault.fault == QdsFault::None && requirePassport && marker != "granted") {
      plan.status = 401;
      plan.body = std::make_shared<const std::string>("Passport required");
      return plan;
    }
    if (!doc) {
      plan.status = 404;
      plan.body = std::make_shared<const std::string>("Not Found");
      if (fault.fault != QdsFault::None) ApplyFault(fault, plan, nullptr);
      return plan;
    }
    plan.headers.emplace_back("Last-Modified", doc->lastModified);
    plan.headers.emplace_back("ETag", doc->etag);
    if (fault.fault == QdsFault::None && NotModified(req, *doc)) {
      plan.status = 304;
      return plan;
    }
    plan.contentType = doc->contentType;
    plan.body = doc->body;
    const bool gzip = Accepts(accept, "gzip"), deflate = Accepts(accept, "deflate");
    QdsEncoding use = QdsEncoding::Identity;
    switch (mode) {
      case QdsEncoding::Auto:
        use = gzip ? QdsEncoding::Gzip : deflate ? QdsEncoding::Deflate : QdsEncoding::Identity;
        break;
      case QdsEncoding::Identity:
        break;
      case QdsEncoding::Gzip:
        use = gzip ? mode : QdsEncoding::Identity;
        break;
      case QdsEncoding::Deflate:
      case QdsEncoding::RawDeflate:
        use = deflate ? mode : QdsEncoding::Identity;
        break;
    }
    if (use != QdsEncoding::Identity) {
      plan.body = doc->Encoded(use);
      plan.contentEncoding = use == QdsEncoding::Gzip ? "gzip" : "deflate";
    }
    if (fault.fault != QdsFault::None) ApplyFault(fault, plan, doc);
    return plan;
  }

  static bool NotModified(const httplib::Request& req, const Doc& doc) {
    if (req.has_header("If-None-Match")) {
      const std::string list = req.get_header_value("If-None-Match");
      std::size_t pos = 0;
      while (pos <= list.size()) {
        std::size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        std::string_view tag = platform::TrimView(std::string_view(list).substr(pos, comma - pos));
        pos = comma + 1;
        if (tag.rfind("W/", 0) == 0) tag.remove_prefix(2);  // weak comparison
        if (tag == "*" || tag == doc.etag) return true;
      }
      return false;  // If-None-Match decides alone when present
    }
    if (req.has_header("If-Modified-Since")) {
      const auto since = ParseHttpDate(req.get_header_value("If-Modified-Since"));
      return since && *since >= doc.modified;
    }
    return false;
  }

  Plan PlanPassport(const httplib::Request& req, const QdsFaultScript& fault) {
    Plan plan;
    std::string user, password;
    {
      std::lock_guard lock(mutex);
      user = options.user;
      password = options.password;
    }
    const std::string challenge = "Basic realm=\"Tarvo Passport\"";
    if (fault.fault != QdsFault::None) {
      plan.body = std::make_shared<const std::string>("{\"passport\":\"granted\"}");
      ApplyFault(fault, plan, nullptr);
      return plan;
    }
    if (req.path != options.passportPath) {
      plan.status = 404;
      plan.body = std::make_shared<const std::string>("Not Found");
      return plan;
    }
    const std::string auth = req.get_header_value("Authorization");
    if (auth.empty()) {
      plan.status = 401;
      plan.headers.emplace_back("WWW-Authenticate", challenge);
      plan.body = std::make_shared<const std::string>("Authorization required");
      return plan;
    }
    std::optional<std::string> pair;
    if (auth.size() > 6 && platform::SameTextAscii(auth.substr(0, 6), "Basic "))
      pair = FromBase64(platform::Trim(auth.substr(6)));
    if (!pair || *pair != user + ":" + password) {
      plan.status = 401;
      plan.headers.emplace_back("WWW-Authenticate", challenge);
      plan.headers.emplace_back("X-TarvoPassport-Marker", "denied");
      plan.body = std::make_shared<const std::string>("Wrong user name or password");
      return plan;
    }
    std::string token;
    {
      std::lock_guard lock(mutex);
      ++tokenCounter;
      token = "sim-" + std::to_string(tokenCounter) + "-" +
              Hex(Fnv1a(user + std::to_string(tokenCounter))).substr(0, 8);
      tokens.push_back(token);
      ++granted;
    }
    plan.headers.emplace_back("Set-Cookie", std::string(PassportCookie) + "=" + token + "; path=/");
    plan.headers.emplace_back("X-TarvoPassport-Marker", "granted");
    plan.headers.emplace_back("Cache-Control", "no-store");
    plan.body = std::make_shared<const std::string>("{\"passport\":\"granted\"}");
    plan.contentType = "application/json; charset=utf-8";
    return plan;
  }

  void Answer(const httplib::Request& req, httplib::Response& res, bool toPassport) {
    QdsRequest rec;
    rec.method = req.method;
    rec.target = req.target;
    rec.path = req.path;
    rec.version = req.version;
    for (const auto& [key, value] : req.headers) rec.headers.emplace_back(key, value);
    rec.body = req.body;
    rec.passport = toPassport;
    // The library would compress text bodies by itself when the client
    // accepts gzip; the simulator decides the encoding (it was recorded above).
    const std::string acceptEncoding = req.get_header_value("Accept-Encoding");
    const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");

    const QdsFaultScript fault = TakeFault(toPassport, req.path);
    Plan plan = toPassport ? PlanPassport(req, fault) : PlanData(req, rec, fault, acceptEncoding);
    plan.headers.emplace(plan.headers.begin(), "Date", HttpDate(UnixNow()));
    {
      std::lock_guard lock(mutex);
      for (const auto& [key, entry] : overrides) {
        std::erase_if(plan.headers, [&](const auto& h) { return Lower(h.first) == key; });
        if (entry.second) plan.headers.emplace_back(entry.first, *entry.second);
      }
    }

    rec.status = plan.status;
    rec.contentEncoding = plan.contentEncoding;
    rec.fault = plan.fault;
    Record(std::move(rec));

    if (plan.fault == QdsFault::StallHeaders && !Stall(plan.stall)) {
      // Stopped: no answer at all; the connection goes.
      DropConnection(req.local_port, req.remote_port);
      return;
    }
    res.status = plan.status;
    for (const auto& [key, value] : plan.headers) res.set_header(key, value);
    if (!plan.contentEncoding.empty()) res.set_header("Content-Encoding", plan.contentEncoding);
    const std::shared_ptr<const std::string> data = plan.body;
    if (data->empty() || plan.status == 204 || plan.status == 304) {
      if (plan.status != 204 && plan.status != 304) res.set_content("", plan.contentType);
      return;
    }
    const bool partial = plan.fault == QdsFault::StallBody || plan.fault == QdsFault::Reset;
    const std::size_t half = data->size() / 2;
    const QdsFault kind = plan.fault;
    const std::chrono::milliseconds limit = plan.stall;
    const int localPort = req.local_port, remotePort = req.remote_port;
    auto passedHalf = std::make_shared<bool>(false);
    res.set_content_provider(
        data->size(), plan.contentType,
        [this, data, partial, half, kind, limit, localPort, remotePort, passedHalf](
            std::size_t offset, std::size_t, httplib::DataSink& sink) {
          if (partial && offset >= half && !*passedHalf) {
            *passedHalf = true;
            if (kind == QdsFault::Reset) {
              // Let the client take what was sent, then reset.
              Sleep(std::chrono::milliseconds(50));
              ResetConnection(localPort, remotePort);
              return false;
            }
            if (!Stall(limit)) return false;
          }
          const std::size_t stop = partial && offset < half ? half : data->size();
          const std::size_t n = std::min(kBlock, stop - offset);
          return sink.write(data->data() + offset, n);
        });
  }

  std::unique_ptr<httplib::Server> MakeServer(bool tls) {
    std::unique_ptr<httplib::Server> s;
    if (tls) {
      const std::string cert = CertPath("server.pem"), key = CertPath("server.key");
      s = std::make_unique<httplib::SSLServer>([cert, key](SSL_CTX& ctx) {
        return SSL_CTX_use_certificate_chain_file(&ctx, cert.c_str()) == 1 &&
               SSL_CTX_use_PrivateKey_file(&ctx, key.c_str(), SSL_FILETYPE_PEM) == 1;
      });
    } else {
      s = std::make_unique<httplib::Server>();
    }
    if (!s->is_valid()) throw std::runtime_error("QdsSimulator: cannot set up a server");
    const int threads = std::max(2, options.threads);
    s->new_task_queue = [threads] {
      return new httplib::ThreadPool(static_cast<std::size_t>(threads));
    };
    s->set_keep_alive_max_count(options.keepAlive ? 100 : 1);
    s->set_keep_alive_timeout(1);
    // Headers and a short body go out as separate writes; with Nagle's
    // algorithm the body's last segment would wait for the client's delayed
    // acknowledgement (40 ms on Linux) on every answer.
    s->set_tcp_nodelay(true);
    s->set_read_timeout(5, 0);
    s->set_write_timeout(5, 0);
    auto handler = [this, tls](const httplib::Request& req, httplib::Response& res) {
      Answer(req, res, tls);
    };
    s->Get(".*", handler);
    s->Post(".*", handler);
    s->Put(".*", handler);
    s->Delete(".*", handler);
    s->Patch(".*", handler);
    s->Options(".*", handler);
    return s;
  }
};

QdsSimulator::QdsSimulator() : QdsSimulator(Options{}) {}

QdsSimulator::QdsSimulator(Options options) : fImpl(std::make_unique<Impl>()) {
  // A client that goes away mid-body must not end the process with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  if (options.dataDir.empty()) options.dataDir = SourcePath("testing/qdssim-data");
  if (options.passportPath.empty() || options.passportPath.front() != '/')
    options.passportPath = "/" + options.passportPath;
  fImpl->options = options;
  fImpl->LoadFolder(options.dataDir);
  try {
    fImpl->data = fImpl->MakeServer(false);
    fImpl->port =
        fImpl->dataThread.Start(*fImpl->data, options.bindAddress, options.port, "QdsSimulator");
    if (options.passport) {
      fImpl->passport = fImpl->MakeServer(true);
      fImpl->passportPort = fImpl->passportThread.Start(*fImpl->passport, options.bindAddress,
                                                        options.passportPort, "QdsSimulator");
    }
  } catch (...) {
    Stop();
    throw;
  }
}

QdsSimulator::~QdsSimulator() {
  Stop();
}

void QdsSimulator::Stop() {
  if (!fImpl) return;
  std::lock_guard stopLock(fImpl->stopMutex);
  if (fImpl->stopped) return;
  fImpl->stopped = true;
  {
    std::lock_guard lock(fImpl->stallMutex);
    fImpl->stopping = true;
  }
  fImpl->stallCv.notify_all();
  // One after the other, data first: each Stop ends idle connections at once
  // and gives an answer under way its grace, so the whole stop is bounded by
  // two graces. A server that was never started has nothing to stop.
  fImpl->dataThread.Stop();
  fImpl->passportThread.Stop();
  if (fImpl->mapped) {
    platform::InternetClearHostMappings();
    fImpl->mapped = false;
  }
}

std::uint16_t QdsSimulator::Port() const noexcept {
  return fImpl->port;
}
std::uint16_t QdsSimulator::PassportPort() const noexcept {
  return fImpl->passportPort;
}

std::string QdsSimulator::Url(std::string_view path) const {
  std::string url = "http://127.0.0.1:" + std::to_string(fImpl->port);
  if (path.empty() || path.front() != '/') url += '/';
  url += path;
  return url;
}

std::string QdsSimulator::PassportUrl() const {
  return "https://127.0.0.1:" + std::to_string(fImpl->passportPort) + fImpl->options.passportPath;
}

std::string QdsSimulator::PassportAddress() const {
  return std::string(PassportHost) + fImpl->options.passportPath;
}

void QdsSimulator::MapPassportHost() {
  if (!fImpl->passportPort) throw std::logic_error("QdsSimulator: no passport endpoint");
  std::lock_guard stopLock(fImpl->stopMutex);
  if (fImpl->stopped) throw std::logic_error("QdsSimulator: stopped");
  platform::InternetMapHostToLoopback(PassportHost, 443, fImpl->passportPort);
  fImpl->mapped = true;
}

void QdsSimulator::SetDocument(const std::string& path, std::string body) {
  fImpl->PutDocument(path, std::move(body));
}

bool QdsSimulator::RemoveDocument(const std::string& path) {
  std::lock_guard lock(fImpl->mutex);
  return fImpl->docs.erase(path) > 0;
}

std::optional<std::string> QdsSimulator::Document(const std::string& path) const {
  std::lock_guard lock(fImpl->mutex);
  const auto it = fImpl->docs.find(path);
  if (it == fImpl->docs.end()) return std::nullopt;
  return *it->second->body;
}

std::optional<std::string> QdsSimulator::EncodedDocument(const std::string& path,
                                                         QdsEncoding encoding) const {
  std::shared_ptr<Doc> doc;
  {
    std::lock_guard lock(fImpl->mutex);
    const auto it = fImpl->docs.find(path);
    if (it == fImpl->docs.end()) return std::nullopt;
    doc = it->second;
  }
  if (encoding == QdsEncoding::Auto || encoding == QdsEncoding::Identity) return *doc->body;
  return *doc->Encoded(encoding);
}

std::vector<std::string> QdsSimulator::DocumentPaths() const {
  std::lock_guard lock(fImpl->mutex);
  std::vector<std::string> paths;
  for (const auto& [path, doc] : fImpl->docs) paths.push_back(path);
  return paths;
}

std::optional<QdsSimulator::Validators> QdsSimulator::DocumentValidators(
    const std::string& path) const {
  std::lock_guard lock(fImpl->mutex);
  const auto it = fImpl->docs.find(path);
  if (it == fImpl->docs.end()) return std::nullopt;
  return Validators{it->second->etag, it->second->lastModified};
}

void QdsSimulator::SetDocumentSource(const std::string& prefix, DocumentSource source) {
  std::lock_guard lock(fImpl->mutex);
  if (source)
    fImpl->sources[prefix] = std::move(source);
  else
    fImpl->sources.erase(prefix);
}

void QdsSimulator::PrepareEncodings() {
  std::vector<std::shared_ptr<Doc>> docs;
  {
    std::lock_guard lock(fImpl->mutex);
    for (const auto& [path, doc] : fImpl->docs) docs.push_back(doc);
  }
  for (const auto& doc : docs)
    for (QdsEncoding e : {QdsEncoding::Gzip, QdsEncoding::Deflate, QdsEncoding::RawDeflate})
      doc->Encoded(e);
}

void QdsSimulator::SetEncoding(QdsEncoding encoding) {
  std::lock_guard lock(fImpl->mutex);
  fImpl->encoding = encoding;
}

void QdsSimulator::SetVersions(std::string queryVersion, std::string statementVersion) {
  std::lock_guard lock(fImpl->mutex);
  fImpl->queryVersion = std::move(queryVersion);
  fImpl->statementVersion = std::move(statementVersion);
}

void QdsSimulator::SetBalancer(std::string balancer) {
  std::lock_guard lock(fImpl->mutex);
  fImpl->balancer = std::move(balancer);
}

void QdsSimulator::SetCacheControl(std::string cacheControl) {
  std::lock_guard lock(fImpl->mutex);
  fImpl->cacheControl = std::move(cacheControl);
}

void QdsSimulator::OverrideHeader(const std::string& name, std::optional<std::string> value) {
  const std::string key = Lower(name);
  if (key == "content-length" || key == "content-encoding" || key == "transfer-encoding")
    throw std::invalid_argument("QdsSimulator: " + name + " frames the body");
  std::lock_guard lock(fImpl->mutex);
  fImpl->overrides[key] = {name, std::move(value)};
}

void QdsSimulator::ClearHeaderOverrides() {
  std::lock_guard lock(fImpl->mutex);
  fImpl->overrides.clear();
}

void QdsSimulator::SetFault(const std::string& path, QdsFaultScript script) {
  std::lock_guard lock(fImpl->mutex);
  fImpl->faults[path] = std::move(script);
}

void QdsSimulator::SetPassportFault(QdsFaultScript script) {
  std::lock_guard lock(fImpl->mutex);
  fImpl->passportFault = std::move(script);
}

void QdsSimulator::ClearFaults() {
  std::lock_guard lock(fImpl->mutex);
  fImpl->faults.clear();
  fImpl->passportFault.reset();
}

void QdsSimulator::ReleaseStalls() {
  {
    std::lock_guard lock(fImpl->stallMutex);
    ++fImpl->releases;
  }
  fImpl->stallCv.notify_all();
}

void QdsSimulator::SetCredentials(std::string user, std::string password) {
  std::lock_guard lock(fImpl->mutex);
  fImpl->options.user = std::move(user);
  fImpl->options.password = std::move(password);
}

void QdsSimulator::SetRequirePassport(bool require) {
  std::lock_guard lock(fImpl->mutex);
  fImpl->options.requirePassport = require;
}

void QdsSimulator::RevokePassports() {
  std::lock_guard lock(fImpl->mutex);
  fImpl->tokens.clear();
}

std::size_t QdsSimulator::PassportsGranted() const {
  std::lock_guard lock(fImpl->mutex);
  return fImpl->granted;
}

std::vector<QdsRequest> QdsSimulator::Requests() const {
  std::lock_guard lock(fImpl->mutex);
  return {fImpl->requests.begin(), fImpl->requests.end()};
}

std::vector<QdsRequest> QdsSimulator::Requests(std::string_view path) const {
  std::lock_guard lock(fImpl->mutex);
  std::vector<QdsRequest> out;
  for (const auto& r : fImpl->requests)
    if (r.path == path) out.push_back(r);
  return out;
}

std::size_t QdsSimulator::RequestCount() const {
  std::lock_guard lock(fImpl->mutex);
  return fImpl->requests.size();
}

std::size_t QdsSimulator::DroppedRequests() const {
  std::lock_guard lock(fImpl->mutex);
  return fImpl->dropped;
}

void QdsSimulator::ClearRequests() {
  std::lock_guard lock(fImpl->mutex);
  fImpl->requests.clear();
  fImpl->dropped = 0;
  fImpl->dataRequests = 0;
}

std::size_t QdsSimulator::DataRequestCount() const {
  std::lock_guard lock(fImpl->mutex);
  return fImpl->dataRequests;
}

std::size_t QdsSimulator::WaitForRequests(std::size_t count,
                                          std::chrono::milliseconds timeout) const {
  std::unique_lock lock(fImpl->mutex);
  // Dropped records count: a limit below count must not make the wait miss.
  auto seen = [&] { return fImpl->requests.size() + fImpl->dropped; };
  fImpl->recorded.wait_for(lock, timeout, [&] { return seen() >= count; });
  return seen();
}

}  // namespace tarvo::testing
