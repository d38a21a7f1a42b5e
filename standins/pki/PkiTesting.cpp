#include "standins/pki/PkiTesting.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "platform/core/Library.h"
#include "standins/pki/PkiControlApi.h"

#ifndef PKI_VARIANTS_DIR
#error "PKI_VARIANTS_DIR must name the folder of the built variants"
#endif
#ifndef PKI_TESTDATA_DIR
#error "PKI_TESTDATA_DIR must name the committed test certificates"
#endif
#ifndef PKI_WRAPPER_DIR
#error "PKI_WRAPPER_DIR must name the folder of the wrapper library"
#endif

namespace tarvo::pkitest {

namespace fs = std::filesystem;

namespace {

struct ScenarioInfo {
  Scenario scenario;
  const char* folder;
  const char* library;
  const char* secureConnection;
};

constexpr ScenarioInfo kScenarios[] = {
    {Scenario::Version5Only, "v5", "zpki1.dll", ""},
    {Scenario::Version6Only, "v6", "zpki1.dll", ""},
    {Scenario::Both, "both", "zpki1.dll", ""},
    {Scenario::CryptoServer, "crsrv", "libpki1.dll", ""},
    {Scenario::MissingCoreEntry, "nocore", "zpki1.dll", ""},
    {Scenario::PartialConnectionGroup, "partialconn", "zpki1.dll", ""},
    {Scenario::SeparateSecureConnection, "nosession", "xpki1.dll", "xsecconn.dll"},
    {Scenario::SecureConnectionUnloadable, "nosession", "rpki1.dll", "rsecconn.dll"},
    {Scenario::WithoutAuthorisation, "noauth", "zpki1.dll", ""},
};

const ScenarioInfo& Info(Scenario scenario) {
  for (const auto& info : kScenarios)
    if (info.scenario == scenario) return info;
  throw std::invalid_argument("unknown stand-in scenario");
}

std::string ReadBinary(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The generator writes one line per certificate into manifest.txt:
//   name|serial|subject|issuer|notBefore|notAfter|keyId|algorithm|hasKey
// in the order of the TestCert enumeration.
std::vector<TestCertFacts> LoadManifest() {
  const std::string dir = PKI_TESTDATA_DIR;
  std::istringstream in(ReadBinary(dir + "/manifest.txt"));
  std::vector<TestCertFacts> facts;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
      const std::size_t bar = line.find('|', start);
      parts.push_back(
          line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    if (parts.size() != 9) throw std::runtime_error("bad manifest line: " + line);
    TestCertFacts f;
    f.id = static_cast<TestCert>(facts.size());
    f.name = parts[0];
    f.certPath = dir + "/" + f.name + ".pem";
    f.keyPath = parts[8] == "1" ? dir + "/" + f.name + ".key" : "";
    f.serial = parts[1];
    f.subject = parts[2];
    f.issuer = parts[3];
    f.notBefore = static_cast<std::uint32_t>(std::stoul(parts[4]));
    f.notAfter = static_cast<std::uint32_t>(std::stoul(parts[5]));
    f.keyId = parts[6];
    f.algorithm = parts[7];
    facts.push_back(std::move(f));
  }
  if (facts.size() != static_cast<std::size_t>(TestCert::TumarSignEncrypt) + 1)
    throw std::runtime_error("manifest.txt does not list every test certificate");
  return facts;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// PEM to DER without a crypto library: the base64 body between the markers.
std::string PemToDer(const std::string& pem) {
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  const std::string end = "-----END CERTIFICATE-----";
  const auto b = pem.find(begin);
  const auto e = pem.find(end);
  if (b == std::string::npos || e == std::string::npos || e < b)
    throw std::runtime_error("not a PEM certificate");
  std::string der;
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::size_t i = b + begin.size(); i < e; ++i) {
    const char c = pem[i];
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else
      continue;  // line breaks and padding
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      der.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return der;
}

}  // namespace

std::string ScenarioFolder(Scenario scenario) {
  return std::string(PKI_VARIANTS_DIR) + "/" + Info(scenario).folder;
}
std::string ScenarioLibraryName(Scenario scenario) {
  return Info(scenario).library;
}
std::string ScenarioLibraryPath(Scenario scenario) {
  return ScenarioFolder(scenario) + "/" + ScenarioLibraryName(scenario);
}
std::string ScenarioSecureConnectionName(Scenario scenario) {
  return Info(scenario).secureConnection;
}
std::string WrapperFolder() {
  return PKI_WRAPPER_DIR;
}

const std::vector<TestCertFacts>& AllTestCerts() {
  static std::once_flag once;
  static std::vector<TestCertFacts> facts;
  std::call_once(once, [] { facts = LoadManifest(); });
  return facts;
}

const TestCertFacts& Facts(TestCert cert) {
  return AllTestCerts().at(static_cast<std::size_t>(cert));
}

std::string CertDer(TestCert cert) {
  return PemToDer(ReadBinary(Facts(cert).certPath));
}

StoreContent DefaultStoreContent() {
  StoreContent c;
  c.own = {TestCert::OwnSignEncrypt, TestCert::OwnEncryptOnly};
  c.others = {TestCert::Expired,     TestCert::Before2020,      TestCert::WithoutKeyId,
              TestCert::SameSerialA, TestCert::SameSerialB,     TestCert::InnSnils,
              TestCert::Revoked,     TestCert::AfterCutoffNoEku};
  c.authorities = {TestCert::Authority, TestCert::Authority2};
  c.revoked = {TestCert::Revoked};
  return c;
}

StorePaths LayoutStore(const std::string& folder, const StoreContent& content) {
  const fs::path base = fs::absolute(folder);
  const fs::path pse = base / "local.pse";
  const fs::path local = base / "local.gdbm";
  const fs::path ldap = base / "ldap";
  std::error_code ec;
  // The store holds exactly `content`: what an earlier layout left goes.
  for (const fs::path& old : {pse, local, ldap, base / "auth.txt"}) {
    fs::remove_all(old, ec);
    if (ec) throw std::runtime_error("cannot clear " + old.string() + ": " + ec.message());
  }
  for (const fs::path& dir : {pse, local / "certs", local / "ca", ldap}) {
    fs::create_directories(dir, ec);
    if (ec) throw std::runtime_error("cannot create " + dir.string() + ": " + ec.message());
  }
  auto copy = [](TestCert cert, const fs::path& dir, bool withKey) {
    const TestCertFacts& f = Facts(cert);
    WriteFile(dir / (f.name + ".pem"), ReadBinary(f.certPath));
    if (withKey) {
      if (f.keyPath.empty()) throw std::runtime_error(f.name + " has no private key");
      WriteFile(dir / (f.name + ".key"), ReadBinary(f.keyPath));
    }
  };
  for (TestCert c : content.own) copy(c, pse, true);
  for (TestCert c : content.others) copy(c, local / "certs", false);
  for (TestCert c : content.authorities) copy(c, local / "ca", false);
  for (TestCert c : content.remote) copy(c, ldap, false);
  std::string revoked;
  for (TestCert c : content.revoked) revoked += Facts(c).issuer + "|" + Facts(c).serial + "\n";
  WriteFile(local / "revoked.txt", revoked);
  if (!content.password.empty()) WriteFile(base / "auth.txt", content.password);

  StorePaths paths;
  paths.basePath = base.string();
  paths.pse = "pse://signed/" + pse.string();
  paths.localStore = "file://" + local.string();
  paths.ldap = "ldap://" + ldap.string();
  paths.server = base.string();
  return paths;
}

// --- PkiControl ------------------------------------------------------------

struct PkiControl::Impl {
  platform::Library library;
  PKISTUB_FailCall_t failCall = nullptr;
  PKISTUB_ScriptErrorLine_t scriptErrorLine = nullptr;
  PKISTUB_ScriptEndlessErrorStack_t scriptEndless = nullptr;
  PKISTUB_ScriptOverlongErrorText_t scriptOverlong = nullptr;
  PKISTUB_LiveAllocations_t liveAllocations = nullptr;
  PKISTUB_UnknownFrees_t unknownFrees = nullptr;
  PKISTUB_MaxConcurrentInitialize_t maxConcurrent = nullptr;
  PKISTUB_CallCount_t callCount = nullptr;
  PKISTUB_CallTrace_t callTrace = nullptr;
  PKISTUB_LastCall_t lastCall = nullptr;
  PKISTUB_OpenContexts_t openContexts = nullptr;
  PKISTUB_ClosedContextCalls_t closedContextCalls = nullptr;
  PKISTUB_Reset_t reset = nullptr;

  template <typename T>
  void Bind(T& slot, const char* name) {
    slot = reinterpret_cast<T>(library.FindSymbol(name));
    if (slot == nullptr) throw std::runtime_error(std::string("stand-in lacks ") + name);
  }
};

PkiControl::PkiControl(const std::string& libraryPath) : fImpl(new Impl) {
  try {
    if (!fImpl->library.Load(libraryPath))
      throw std::runtime_error("cannot load " + libraryPath + ": " + platform::LastLoadErrorText());
    fImpl->Bind(fImpl->failCall, "PKISTUB_FailCall");
    fImpl->Bind(fImpl->scriptErrorLine, "PKISTUB_ScriptErrorLine");
    fImpl->Bind(fImpl->scriptEndless, "PKISTUB_ScriptEndlessErrorStack");
    fImpl->Bind(fImpl->scriptOverlong, "PKISTUB_ScriptOverlongErrorText");
    fImpl->Bind(fImpl->liveAllocations, "PKISTUB_LiveAllocations");
    fImpl->Bind(fImpl->unknownFrees, "PKISTUB_UnknownFrees");
    fImpl->Bind(fImpl->maxConcurrent, "PKISTUB_MaxConcurrentInitialize");
    fImpl->Bind(fImpl->callCount, "PKISTUB_CallCount");
    fImpl->Bind(fImpl->callTrace, "PKISTUB_CallTrace");
    fImpl->Bind(fImpl->lastCall, "PKISTUB_LastCall");
    fImpl->Bind(fImpl->openContexts, "PKISTUB_OpenContexts");
    fImpl->Bind(fImpl->closedContextCalls, "PKISTUB_ClosedContextCalls");
    fImpl->Bind(fImpl->reset, "PKISTUB_Reset");
  } catch (...) {
    delete fImpl;
    throw;
  }
}

PkiControl::~PkiControl() {
  delete fImpl;
}

void PkiControl::FailCall(const std::string& entry, std::uint32_t nth, std::uint32_t status) {
  if (fImpl->failCall(entry.c_str(), nth, status) != 0)
    throw std::invalid_argument("not an entry of the stand-in: " + entry);
}

void PkiControl::ScriptErrorStack(const std::vector<ErrorLine>& lines) {
  for (const auto& l : lines)
    fImpl->scriptErrorLine(l.file.c_str(), l.line, l.text.c_str(), l.extra.c_str());
}

void PkiControl::ScriptEndlessErrorStack() {
  fImpl->scriptEndless();
}
void PkiControl::ScriptOverlongErrorText() {
  fImpl->scriptOverlong();
}
std::int64_t PkiControl::LiveAllocations() const {
  return fImpl->liveAllocations();
}
std::int64_t PkiControl::UnknownFrees() const {
  return fImpl->unknownFrees();
}
std::uint32_t PkiControl::MaxConcurrentInitialize() const {
  return fImpl->maxConcurrent();
}
std::uint32_t PkiControl::CallCount(const std::string& entry) const {
  const std::uint32_t n = fImpl->callCount(entry.c_str());
  if (n == 0xFFFFFFFFu) throw std::invalid_argument("not an entry of the stand-in: " + entry);
  return n;
}
std::int64_t PkiControl::OpenContexts() const {
  return fImpl->openContexts();
}
std::int64_t PkiControl::ClosedContextCalls() const {
  return fImpl->closedContextCalls();
}
void PkiControl::Reset() {
  fImpl->reset();
}

namespace {
template <typename F>
std::string FetchText(F fetch) {
  std::string buf(256, '\0');
  for (;;) {
    const std::uint32_t n = fetch(buf.data(), static_cast<std::uint32_t>(buf.size()));
    if (n == 0xFFFFFFFFu) throw std::invalid_argument("not an entry of the stand-in");
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    buf.assign(static_cast<std::size_t>(n) + 1, '\0');
  }
}
}  // namespace

std::vector<std::string> PkiControl::CallTrace() const {
  const std::string text =
      FetchText([this](char* b, std::uint32_t l) { return fImpl->callTrace(b, l); });
  std::vector<std::string> names;
  std::istringstream in(text);
  std::string name;
  while (std::getline(in, name))
    if (!name.empty()) names.push_back(name);
  return names;
}

std::string PkiControl::LastCall(const std::string& entry) const {
  return FetchText(
      [this, &entry](char* b, std::uint32_t l) { return fImpl->lastCall(entry.c_str(), b, l); });
}

}  // namespace tarvo::pkitest
