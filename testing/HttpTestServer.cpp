#include "testing/HttpTestServer.h"

#include <httplib.h>
#include <openssl/ssl.h>
#include <zlib.h>

#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <map>
#include <stdexcept>

#include "platform/core/Text.h"
#include "platform/net/Inet.h"
#include "testing/HttpServerThread.h"
#include "testing/Sandbox.h"

namespace tarvo::testing {

namespace {

std::string Base64(std::string_view in) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Compress(std::string_view data, int windowBits) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string out(deflateBound(&zs, static_cast<uLong>(data.size())) + 32, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

}  // namespace

// --- recorded requests ----------------------------------------------------------------------

std::string RecordedRequest::Header(std::string_view name, std::size_t index) const {
  for (const auto& [key, value] : headers)
    if (platform::SameTextAscii(key, name) && index-- == 0) return value;
  return {};
}

std::size_t RecordedRequest::HeaderCount(std::string_view name) const {
  std::size_t n = 0;
  for (const auto& [key, value] : headers)
    if (platform::SameTextAscii(key, name)) ++n;
  return n;
}

// --- the server -----------------------------------------------------------------------------

struct HttpTestServer::Impl {
  std::unique_ptr<httplib::Server> server;
  HttpServerThread thread;  // after server: ends before it
  mutable std::mutex mutex;
  std::map<std::string, Handler> routes;
  std::vector<RecordedRequest> requests;
  std::atomic<bool> stopping{false};
  bool tls = false;
  std::mutex sleepMutex;
  std::condition_variable sleepCv;

  // Sleeps, but wakes up at once when the server stops; false when stopping.
  bool Sleep(std::chrono::milliseconds d) {
    if (d.count() <= 0) return !stopping.load();
    std::unique_lock lock(sleepMutex);
    return !sleepCv.wait_for(lock, d, [&] { return stopping.load(); });
  }
};

HttpTestServer::HttpTestServer() : HttpTestServer(Options{}) {}

HttpTestServer::HttpTestServer(Options options) : fImpl(std::make_unique<Impl>()) {
  // A client that goes away mid-body must not kill the test with SIGPIPE
  // (TLS writes go through write(), which has no MSG_NOSIGNAL).
  std::signal(SIGPIPE, SIG_IGN);
  fImpl->tls = options.tls;
  if (options.tls) {
    const std::string cert = options.certFile.empty() ? CertPath("server.pem") : options.certFile;
    const std::string key = options.keyFile.empty() ? CertPath("server.key") : options.keyFile;
    const bool askClient = options.requestClientCert;
    fImpl->server = std::make_unique<httplib::SSLServer>([cert, key, askClient](SSL_CTX& ctx) {
      if (SSL_CTX_use_certificate_chain_file(&ctx, cert.c_str()) != 1) return false;
      if (SSL_CTX_use_PrivateKey_file(&ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) return false;
      if (askClient)  // ask, but take "no certificate" for an answer
        SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
      return true;
    });
  } else {
    fImpl->server = std::make_unique<httplib::Server>();
  }
  httplib::Server& s = *fImpl->server;
  if (!s.is_valid()) throw std::runtime_error("HttpTestServer: cannot set up the server");
  if (options.keepAlive)
    s.set_keep_alive_timeout(1);
  else
    s.set_keep_alive_max_count(1);

  Impl* impl = fImpl.get();
  auto dispatch = [this, impl](const httplib::Request& req, httplib::Response& res) {
    RecordedRequest rec;
    rec.method = req.method;
    rec.target = req.target;
    rec.path = req.path;
    rec.version = req.version;
    for (const auto& [key, value] : req.headers) rec.headers.emplace_back(key, value);
    rec.body = req.body;
    // The library compresses text bodies by itself when the client accepts
    // gzip; a scripted server must send exactly what its script says, so the
    // library does not get to see the header (it was recorded above). The
    // request object is the library's own, non-const.
    const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
    Handler handler;
    {
      std::lock_guard lock(impl->mutex);
      impl->requests.push_back(rec);
      if (const auto it = impl->routes.find(req.path); it != impl->routes.end())
        handler = it->second;
    }
    if (!handler) {
      res.status = 404;
      res.set_content("Not Found", "text/plain");
      return;
    }
    HttpReply reply = handler(rec);
    if (!reply.basicAuth.empty() &&
        rec.Header("Authorization") != "Basic " + Base64(reply.basicAuth)) {
      res.status = 401;
      res.set_header("WWW-Authenticate", "Basic realm=\"tarvo\"");
      res.set_content("Unauthorized", "text/plain");
      return;
    }
    if (!impl->Sleep(reply.delayBeforeHeaders)) {
      // Stopped during the pause: the scripted answer is not sent, and an
      // untouched response would go out as "200 OK" with an empty body, which
      // a client would take for success. Say plainly that the server went away.
      res.status = 503;
      res.set_header("Connection", "close");
      res.set_content("Server stopping", "text/plain");
      return;
    }
    res.status = reply.status;
    for (const auto& [key, value] : reply.headers) res.set_header(key, value);
    std::shared_ptr<const std::string> data =
        reply.body ? reply.body : std::make_shared<std::string>();
    if (reply.encoding == HttpReply::Encoding::Gzip) {
      data = std::make_shared<std::string>(GzipBytes(*data));
      res.set_header("Content-Encoding", "gzip");
    } else if (reply.encoding == HttpReply::Encoding::Deflate) {
      data = std::make_shared<std::string>(DeflateBytes(*data));
      res.set_header("Content-Encoding", "deflate");
    }
    const std::size_t block = reply.blockSize ? reply.blockSize : 16384;
    const auto delay = reply.delayPerBlock;
    if (data->empty() && !reply.chunked) {
      res.set_content("", reply.contentType);
      return;
    }
    auto write = [this, impl, data, block, delay](std::size_t offset, httplib::DataSink& sink) {
      const std::size_t n = std::min(block, data->size() - offset);
      if (!sink.write(data->data() + offset, n)) {
        ++fAborted;
        return false;
      }
      fBytesSent += n;
      return impl->Sleep(delay);
    };
    if (reply.chunked) {
      res.set_chunked_content_provider(reply.contentType,
                                       [write, data](std::size_t offset, httplib::DataSink& sink) {
                                         if (offset >= data->size()) {
                                           sink.done();
                                           return true;
                                         }
                                         return write(offset, sink);
                                       });
    } else {
      res.set_content_provider(data->size(), reply.contentType,
                               [write](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 return write(offset, sink);
                               });
    }
  };
  s.Get(".*", dispatch);
  s.Post(".*", dispatch);
  s.Put(".*", dispatch);
  s.Patch(".*", dispatch);
  s.Delete(".*", dispatch);
  s.Options(".*", dispatch);

  fPort = fImpl->thread.Start(s, "127.0.0.1", 0, "HttpTestServer");
}

HttpTestServer::~HttpTestServer() {
  Stop();
}

void HttpTestServer::Stop() {
  if (!fImpl) return;
  // Stalls and slow bodies wake first, so that the stop finds no answer that
  // waits on purpose.
  {
    std::lock_guard lock(fImpl->sleepMutex);
    fImpl->stopping = true;
  }
  fImpl->sleepCv.notify_all();
  fImpl->thread.Stop();
}

std::string HttpTestServer::Url(std::string_view path) const {
  std::string url = fImpl->tls ? "https://127.0.0.1:" : "http://127.0.0.1:";
  url += std::to_string(fPort);
  if (path.empty() || path.front() != '/') url += '/';
  url += path;
  return url;
}

void HttpTestServer::On(const std::string& path, HttpReply reply) {
  On(path, Handler([reply](const RecordedRequest&) { return reply; }));
}

void HttpTestServer::On(const std::string& path, Handler handler) {
  std::lock_guard lock(fImpl->mutex);
  fImpl->routes[path] = std::move(handler);
}

std::vector<RecordedRequest> HttpTestServer::Requests() const {
  std::lock_guard lock(fImpl->mutex);
  return fImpl->requests;
}

std::size_t HttpTestServer::RequestCount() const {
  std::lock_guard lock(fImpl->mutex);
  return fImpl->requests.size();
}

// --- helpers ----------------------------------------------------------------------------------

std::string CertPath(std::string_view name) {
  return SourcePath("testing/certs/" + std::string(name));
}

TrustTestAuthority::TrustTestAuthority(bool revocationList) {
  const platform::InternetTrust previous = platform::InternetGetTrust();
  fCaFile = previous.caFile;
  fCrlFile = previous.crlFile;
  platform::InternetSetTrust({CertPath("ca.pem"), revocationList ? CertPath("crl.pem") : ""});
}

TrustTestAuthority::~TrustTestAuthority() {
  platform::InternetSetTrust({fCaFile, fCrlFile});
}

namespace {
const char* const kProxyVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                       "all_proxy",  "ALL_PROXY",  "no_proxy",    "NO_PROXY"};
}

ProxyEnvironmentCleared::ProxyEnvironmentCleared() {
  for (const char* name : kProxyVariables) {
    const char* value = std::getenv(name);
    fSaved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    ::unsetenv(name);
  }
}

ProxyEnvironmentCleared::~ProxyEnvironmentCleared() {
  for (const auto& [name, value] : fSaved) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
}

std::string GzipBytes(std::string_view data) {
  return Compress(data, 15 + 16);
}
std::string DeflateBytes(std::string_view data, bool zlibWrapper) {
  return Compress(data, zlibWrapper ? 15 : -15);
}

}  // namespace tarvo::testing
