#include "qds/ttQDSMisc.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "platform/core/CodePage.h"
#include "platform/core/Files.h"
#include "platform/core/Format.h"
#include "platform/core/Resources.h"
#include "platform/core/Text.h"

namespace tarvo {

using platform::Format;

// --- addresses -----------------------------------------------------------------------

namespace {

std::recursive_mutex& UrlLock() {
  static std::recursive_mutex lock;
  return lock;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A value made only of "%XX" groups is the bytes they give, in the system
// ANSI code page; any other value stays as it is.
std::string DecodeValue(const std::string& value) {
  if (value.empty() || value.size() % 3 != 0) return value;
  std::string bytes;
  for (std::size_t i = 0; i < value.size(); i += 3) {
    const int hi = HexDigit(value[i + 1]), lo = HexDigit(value[i + 2]);
    if (value[i] != '%' || hi < 0 || lo < 0) return value;
    bytes += static_cast<char>(hi * 16 + lo);
  }
  return platform::FromCodePage(bytes);
}

bool IsPlainValue(std::string_view value) {
  for (const char c : value) {
    const bool plain =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!plain) return false;
  }
  return true;
}

void AppendPercent(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

// A controller value as the path carries it.
std::string EncodeValue(const std::string& value) {
  if (platform::SameTextAscii(value, "USDEURBASKET")) return "USDEUR_BKT";
  if (IsPlainValue(value)) return value;
  std::string out;
  for (const char c : platform::ToCodePage(value))
    AppendPercent(out, static_cast<unsigned char>(c));
  return out;
}

// A parameter value as the query carries it: "&" (the separator of the
// query), "#" (which would end the address), blanks and control characters
// are percent-encoded; everything else is sent as given.
std::string EncodeParamValue(std::string_view value) {
  std::string out;
  for (const char c : value) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '&' || c == '#' || b <= 0x20 || b == 0x7F)
      AppendPercent(out, b);
    else
      out += c;
  }
  return out;
}

void JoinTo(std::string& out, std::string_view part) {
  if (part.empty()) return;
  if (!out.empty()) out += '&';
  out += part;
}

}  // namespace

TqdsURL::TqdsURL(std::string_view aQuerry, std::uint32_t aPort) : fPort(aPort) {
  SetQuerry(aQuerry);
}

std::string TqdsURL::NormalizeCase(std::string_view Text) const {
  return platform::LowerCase(Text);
}

bool TqdsURL::RootController(std::string_view Name) const {
  return Name == "qds" || Name == "history";
}

void TqdsURL::SetQuerry(std::string_view aQuerry) {
  fQuerry.clear();
  fExtension = ".xml";
  fControllers.clear();
  fControllerValues.clear();
  fParams.clear();
  fMeta = false;
  fOnly.clear();
  fDebug = TqdsDebugMode::idmNone;

  // Head: the host up to the first "/" (kept) or ":" and a port.
  std::size_t i = 0;
  const std::size_t n = aQuerry.size();
  while (i < n) {
    const char c = aQuerry[i];
    if (c == '?') break;
    if (c == '/') {
      fQuerry += c;
      ++i;
      break;
    }
    if (c == ':') {
      ++i;
      const std::size_t digits = i;
      std::uint64_t port = 0;
      while (i < n && aQuerry[i] >= '0' && aQuerry[i] <= '9') {
        port = port * 10 + static_cast<unsigned>(aQuerry[i] - '0');
        if (port > 65535)
          throw EQDSException(Format("Invalid port in \"%s\"", {std::string(aQuerry)}));
        ++i;
      }
      if (i > digits) fPort = static_cast<std::uint32_t>(port);
      if (i < n && aQuerry[i] == '/') {
        fQuerry += '/';
        ++i;
      }
      break;
    }
    fQuerry += c;
    ++i;
  }

  // Path: root segments join the head; the others are controllers and values.
  const std::size_t question = aQuerry.find('?', i);
  const std::string_view path =
      aQuerry.substr(i, question == std::string_view::npos ? std::string_view::npos : question - i);
  bool expectName = true;
  std::string name;
  for (const std::string& raw : platform::SplitString(path, '/')) {
    std::string segment = NormalizeCase(raw);
    if (expectName) {
      if (segment.empty()) continue;
      if (RootController(segment)) {
        if (!fQuerry.empty() && fQuerry.back() != '/') fQuerry += '/';
        fQuerry += segment;
        continue;
      }
      name = std::move(segment);
      expectName = false;
    } else {
      AddController(name, DecodeValue(segment));
      expectName = true;
    }
  }
  if (!expectName) AddController(name, std::string());

  if (question == std::string_view::npos) return;
  for (const std::string& part : platform::SplitString(aQuerry.substr(question + 1), '&')) {
    const std::size_t eq = part.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = part.substr(0, eq);
    const std::string value = part.substr(eq + 1);
    if (platform::SameTextAscii(key, "qds.meta")) {
      fMeta = platform::SameTextAscii(value, "on");
    } else if (platform::SameTextAscii(key, "qds.only")) {
      fOnly = value;
    } else if (platform::SameTextAscii(key, "qds.version")) {
      // The version comes from the view's supported versions, not the template.
    } else if (platform::StartsTextAscii(key, "qds.")) {
      throw EQDSException(Format("Unknown QDS param: \"%s\"", {key.substr(4)}));
    } else if (platform::SameTextAscii(key, "debug")) {
      fDebug = value == "1"                             ? TqdsDebugMode::idm1
               : platform::SameTextAscii(value, "full") ? TqdsDebugMode::idmFull
                                                        : TqdsDebugMode::idmNone;
    } else {
      SetParam(key, value);
    }
  }
}

std::ptrdiff_t TqdsURL::ControllerIndex(std::string_view Name) const {
  for (std::size_t i = 0; i < fControllers.size(); ++i)
    if (platform::SameTextAscii(fControllers[i], Name)) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

void TqdsURL::AddController(const std::string& Name, std::string Value) {
  const std::string& carrier = Value.empty() ? Name : Value;
  if (const std::size_t dot = carrier.find('.'); dot != std::string::npos)
    fExtension = carrier.substr(dot);
  const std::ptrdiff_t at = ControllerIndex(Name);
  if (at >= 0) {
    fControllerValues[static_cast<std::size_t>(at)] = std::move(Value);
  } else {
    fControllers.push_back(Name);
    fControllerValues.push_back(std::move(Value));
  }
}

void TqdsURL::SetCtrl(int Index, std::string_view Value) {
  if (Index < 0 || Index >= static_cast<int>(std::size(ControllerNames)))
    throw EQDSException(Format("Unknown controller index %d", {Index}));
  const std::string name = ControllerNames[Index];
  std::ptrdiff_t at = ControllerIndex(name);
  if (Index == ctrlBoards || Index == ctrlBoardGroups) {
    const std::ptrdiff_t other =
        ControllerIndex(ControllerNames[Index == ctrlBoards ? ctrlBoardGroups : ctrlBoards]);
    if (other >= 0) {
      if (at < 0) {
        // The board takes the board group's place in the path, or the reverse.
        fControllers[static_cast<std::size_t>(other)] = name;
        fControllerValues[static_cast<std::size_t>(other)] = std::string(Value);
        return;
      }
      fControllers.erase(fControllers.begin() + other);
      fControllerValues.erase(fControllerValues.begin() + other);
      at = ControllerIndex(name);
    }
  }
  if (at >= 0) {
    fControllerValues[static_cast<std::size_t>(at)] = std::string(Value);
  } else {
    fControllers.push_back(name);
    fControllerValues.emplace_back(Value);
  }
}

std::string TqdsURL::GetCtrl(int Index) const {
  if (Index < 0 || Index >= static_cast<int>(std::size(ControllerNames)))
    throw EQDSException(Format("Unknown controller index %d", {Index}));
  const std::ptrdiff_t at = ControllerIndex(ControllerNames[Index]);
  return at < 0 ? std::string() : fControllerValues[static_cast<std::size_t>(at)];
}

std::ptrdiff_t TqdsURL::ParamIndex(std::string_view Name) const {
  for (std::size_t i = 0; i < fParams.size(); ++i)
    if (platform::SameText(fParams[i].first, Name)) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

void TqdsURL::SetParam(std::string_view Name, const TQDSVariant& Value) {
  const std::string value = EncodeParamValue(platform::Trim(VarToStr(Value)));
  const std::ptrdiff_t at = ParamIndex(Name);
  if (at >= 0)
    fParams[static_cast<std::size_t>(at)].second = value;
  else if (!value.empty())
    fParams.emplace_back(std::string(Name), value);
}

TQDSVariant TqdsURL::GetParam(std::string_view Name) const {
  const std::ptrdiff_t at = ParamIndex(Name);
  if (at < 0) return {};
  return fParams[static_cast<std::size_t>(at)].second;
}

std::string TqdsURL::RenderPath() const {
  std::string path;
  std::size_t lastPiece = 0;
  for (std::size_t i = 0; i < fControllers.size(); ++i) {
    lastPiece = path.size();
    path += '/';
    path += fControllers[i];
    if (!fControllerValues[i].empty()) {
      path += '/';
      path += EncodeValue(fControllerValues[i]);
    }
  }
  if (fControllers.empty()) return path;
  if (const std::size_t dot = path.find('.', lastPiece); dot != std::string::npos) path.resize(dot);
  path += fExtension;
  return path;
}

std::string TqdsURL::GetAsString() const {
  std::string query;
  for (const auto& [name, value] : fParams)
    if (!value.empty()) JoinTo(query, name + "=" + value);
  JoinTo(query, GetScriptParams());
  std::string s = fQuerry + RenderPath();
  if (!query.empty()) s += "?" + query;
  return s;
}

std::string TqdsURL::GetURN() const {
  return RenderPath();
}

std::string TqdsURL::GetScriptParams() const {
  std::string out;
  JoinTo(out, GetVersionStr());
  JoinTo(out, fMeta ? "qds.meta=on" : "qds.meta=off");
  if (!fOnly.empty()) JoinTo(out, "qds.only=" + fOnly);
  if (fDebug == TqdsDebugMode::idm1) JoinTo(out, "debug=1");
  if (fDebug == TqdsDebugMode::idmFull) JoinTo(out, "debug=full");
  return out;
}

void TqdsURL::Assign(const TqdsURL& Source) {
  std::lock_guard lock(UrlLock());
  if (&Source == this) {
    fOutdated = false;
    return;
  }
  fQuerry = Source.fQuerry;
  fParams = Source.fParams;
  fControllers = Source.fControllers;
  fControllerValues = Source.fControllerValues;
  fMeta = Source.fMeta;
  fOnly = Source.fOnly;
  fPort = Source.fPort;
  fExtension = Source.fExtension;
  fSupportedVer = Source.fSupportedVer;
  fOutdated = false;
}

bool TqdsURL::GetOutdated() const {
  std::lock_guard lock(UrlLock());
  return fOutdated;
}

void TqdsURL::SetOutdated(bool Value) {
  std::lock_guard lock(UrlLock());
  fOutdated = Value;
}

bool TqdsURL::GetVersionIsUsed() const {
  if (fSupportedVer.HighestCompatible <= 0) return false;
  const TWebServiceConfig* config = QDSSettingsInstance.load();
  return !config || !config->GetIgnoreVer();
}

std::string TqdsURL::GetVersionStr() const {
  return GetVersionIsUsed() ? Format("qds.version=%d", {fSupportedVer.HighestCompatible})
                            : std::string();
}

void TqdsURL::Lock() {
  UrlLock().lock();
}
void TqdsURL::Unlock() {
  UrlLock().unlock();
}

// --- password scrambling -------------------------------------------------------------

namespace {

std::string_view KeyTable() {
  const auto module = platform::FindModule("ttQDS");
  const auto table = module ? platform::FindResource(*module, "Bulk") : std::nullopt;
  if (!table || table->size() < SpecPasswordBytes + 512)
    throw EQDSException("The key table of the QDS library is missing");
  return *table;
}

// The XOR stream both directions share.
std::string Mask(std::string_view Host, std::string_view User, std::size_t N) {
  const std::string_view key = KeyTable();
  if (N + 512 > key.size()) throw EQDSException("Password field too long for the key table");
  unsigned k = 0;
  for (std::size_t i = 0; i + 1 < User.size(); ++i) k += static_cast<unsigned char>(User[i]);
  k %= 512;
  std::string mask(N, '\0');
  for (std::size_t i = 0; i < N; ++i) {
    unsigned char m = static_cast<unsigned char>(key[k + i]);
    // The host repeated until it is long enough; an empty host adds nothing.
    if (!Host.empty()) m ^= static_cast<unsigned char>(Host[i % Host.size()]);
    mask[i] = static_cast<char>(m);
  }
  return mask;
}

}  // namespace

std::string ScramblePassword(std::string_view Password, std::string_view Host,
                             std::string_view User, std::size_t N) {
  if (Password.size() > N) throw EQDSException(Format("The password is longer than %u bytes", {N}));
  std::string padded(Password);
  padded.resize(N, ' ');
  const std::string mask = Mask(Host, User, N);
  std::string out;
  out.reserve(2 * N);
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < N; ++i) {
    const auto b = static_cast<unsigned char>(padded[i] ^ mask[i]);
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::optional<std::string> UnscramblePassword(std::string_view Stored, std::string_view Host,
                                              std::string_view User, std::size_t N) {
  const std::string text = platform::Trim(Stored);
  if (text.size() != 2 * N) return std::nullopt;
  const std::string mask = Mask(Host, User, N);
  std::string bytes(N, '\0');
  for (std::size_t i = 0; i < N; ++i) {
    const int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[i] = static_cast<char>((hi * 16 + lo) ^ static_cast<unsigned char>(mask[i]));
  }
  // Only the padding is removed: blanks at the start belong to the password.
  while (!bytes.empty() && bytes.back() == ' ') bytes.pop_back();
  return SanitizeUtf8(bytes);
}

// --- service settings ----------------------------------------------------------------

TWebServiceConfig::TWebServiceConfig(std::string aFileName, std::string aRootName)
    : fStorage(std::move(aFileName), std::move(aRootName)) {
  ResetToDefaults();
  fChanged = false;
}

void TWebServiceConfig::ResetToDefaults() {
  SetHost(GetDefaultHost());
  SetPort(GetDefaultPort());
  SetLogon(Default_LogonType);
  SetThreads(GetDefaultThreads());
  SetEnabled(GetDefaultEnabled());
  SetPassport(Default_Passport);
  SetSpecUser(Default_SpecUser);
  SetSpecPassw(Default_SpecPassw);
  SetIgnoreVer(false);
  SetMaxFails(GetDefaultMaxFails());
  SetInterval(GetDefaultInterval());
  SetCaching(GetDefaultCaching());
  SetSecured(true);
  SetIgnoreCertCN(false);
  SetIgnoreCertDate(false);
  SetIgnoreCertRevocation(false);
}

void TWebServiceConfig::SetEnabled(bool Value) {
  Assign(fEnabled, Value);
}

std::string TWebServiceConfig::Host() const {
  std::lock_guard lock(fGuard);
  return fHost;
}

void TWebServiceConfig::SetHost(std::string Value) {
  if (platform::Trim(Value).empty()) Value = GetDefaultHost();
  std::lock_guard lock(fGuard);
  Assign(fHost, std::move(Value));
}

std::uint32_t TWebServiceConfig::Port() const {
  std::lock_guard lock(fGuard);
  return fPort;
}

void TWebServiceConfig::SetPort(std::uint32_t Value) {
  std::lock_guard lock(fGuard);
  Assign(fPort, Value);
}

void TWebServiceConfig::SetLogon(TQDSLogon Value) {
  Assign(fLogon, Value);
}
void TWebServiceConfig::SetSpecUser(std::string Value) {
  Assign(fSpecUser, std::move(Value));
}

void TWebServiceConfig::SetSpecPassw(std::string Value) {
  if (Value.size() > SpecPasswordBytes)
    throw EQDSException(Format("The password is longer than %u bytes", {SpecPasswordBytes}));
  Assign(fSpecPassw, std::move(Value));
}

void TWebServiceConfig::SetThreads(int Value) {
  Assign(fThreads, std::max(Value, 1));
}
void TWebServiceConfig::SetPassport(std::string Value) {
  Assign(fPassport, std::move(Value));
}

bool TWebServiceConfig::GetIgnoreVer() const {
  return fIgnoreVer.load();
}

void TWebServiceConfig::SetIgnoreVer(bool Value) {
  if (fIgnoreVer.exchange(Value) != Value) fChanged = true;
}

void TWebServiceConfig::SetMaxFails(int Value) {
  Assign(fMaxFails, std::max(Value, 10));
}
void TWebServiceConfig::SetInterval(int Value) {
  Assign(fInterval, std::clamp(Value, 5, 3600));
}
void TWebServiceConfig::SetCaching(bool Value) {
  Assign(fCaching, Value);
}
void TWebServiceConfig::SetSecured(bool Value) {
  Assign(fSecured, Value);
}
void TWebServiceConfig::SetIgnoreCertCN(bool Value) {
  Assign(fIgnoreCertCN, Value);
}
void TWebServiceConfig::SetIgnoreCertDate(bool Value) {
  Assign(fIgnoreCertDate, Value);
}
void TWebServiceConfig::SetIgnoreCertRevocation(bool Value) {
  Assign(fIgnoreCertRevocation, Value);
}

void TWebServiceConfig::AssignTo(TWebServiceConfig& Dest) const {
  Dest.SetEnabled(fEnabled);
  Dest.SetHost(Host());
  Dest.SetPort(Port());
  Dest.SetLogon(fLogon);
  Dest.SetSpecUser(fSpecUser);
  Dest.SetSpecPassw(fSpecPassw);
  Dest.SetThreads(fThreads);
  Dest.SetPassport(fPassport);
  Dest.SetIgnoreVer(fIgnoreVer.load());
  Dest.SetMaxFails(fMaxFails);
  Dest.SetInterval(fInterval);
  Dest.SetCaching(fCaching);
  Dest.SetSecured(fSecured);
  Dest.SetIgnoreCertCN(fIgnoreCertCN);
  Dest.SetIgnoreCertDate(fIgnoreCertDate);
  Dest.SetIgnoreCertRevocation(fIgnoreCertRevocation);
}

pugi::xml_node TWebServiceConfig::AuthorizationNode(pugi::xml_node) {
  return {};
}

namespace {

// A stored number brought into the field's range, or the default when the
// attribute is missing or not a number.
int ClampToInt(std::optional<std::int64_t> v, int fallback) {
  if (!v) return fallback;
  return static_cast<int>(std::clamp<std::int64_t>(*v, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
}

std::uint32_t ClampToU32(std::optional<std::int64_t> v, std::uint32_t fallback) {
  if (!v) return fallback;
  return static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(*v, 0, std::numeric_limits<std::uint32_t>::max()));
}

bool IsObsolete(const std::string& value, const char* const (&list)[2]) {
  return std::any_of(std::begin(list), std::end(list), [&](const char* obsolete) {
    return platform::SameTextAscii(value, obsolete);
  });
}

}  // namespace

void TWebServiceConfig::Load() {
  ReadDocument(fStorage.Load());
}

void TWebServiceConfig::ReadDocument(bool Readable) {
  if (!Readable) {
    ResetToDefaults();
    return;
  }
  pugi::xml_node root = fStorage.Root();
  if (!root) {
    ResetToDefaults();
    return;
  }
  SetEnabled(ReadXmlBool(root, "enabled").value_or(GetDefaultEnabled()));
  SetHost(ReadXmlString(root, "Host").value_or(GetDefaultHost()));

  pugi::xml_node auth = AuthorizationNode(root);
  std::string passport = auth ? ReadXmlString(auth, "Passport").value_or("") : "";
  if (platform::Trim(passport).empty() || IsObsolete(passport, Obsolete_Passport))
    passport = Default_Passport;
  SetPassport(passport);
  SetSpecUser(auth ? ReadXmlString(auth, "SpecUser").value_or(Default_SpecUser) : Default_SpecUser);
  const std::int64_t logon = auth ? ReadXmlInt(auth, "Logon").value_or(-1) : -1;
  SetLogon(logon >= 0 && logon <= static_cast<std::int64_t>(TQDSLogon::lSpecific)
               ? static_cast<TQDSLogon>(logon)
               : Default_LogonType);
  std::optional<std::string> password;
  if (auth) {
    if (const auto stored = ReadXmlString(auth, "SpecPassword"))
      password = UnscramblePassword(*stored, Host(), fSpecUser, SpecPasswordBytes);
    else if (const auto older = ReadXmlString(auth, "SpecPassw"))
      password = UnscramblePassword(*older, Host(), fSpecUser, SpecPasswBytes);
  }
  SetSpecPassw(password.value_or(Default_SpecPassw));

  pugi::xml_node options = root.child("Options");
  SetPort(ClampToU32(ReadXmlInt(options, "Port"), GetDefaultPort()));
  SetThreads(ClampToInt(ReadXmlInt(options, "Threads"), GetDefaultThreads()));
  SetIgnoreVer(ReadXmlBool(options, "IgnoreVer").value_or(false));
  SetMaxFails(ClampToInt(ReadXmlInt(options, "MaxFails"), GetDefaultMaxFails()));
  SetInterval(ClampToInt(ReadXmlInt(options, "Interval"), GetDefaultInterval()));
  SetCaching(ReadXmlBool(options, "Caching").value_or(GetDefaultCaching()));
  SetSecured(ReadXmlBool(options, "Secured").value_or(true));
  SetIgnoreCertCN(ReadXmlBool(options, "IgnoreCertCN").value_or(false));
  SetIgnoreCertDate(ReadXmlBool(options, "IgnoreCertDate").value_or(false));
  SetIgnoreCertRevocation(ReadXmlBool(options, "IgnoreCertRevocation").value_or(false));
}

void TWebServiceConfig::Save() {
  pugi::xml_node root = fStorage.EnsureRoot();
  WriteXmlBool(root, "enabled", fEnabled);
  WriteXmlString(root, "Host", Host());
  if (pugi::xml_node auth = AuthorizationNode(root)) {
    WriteXmlInt(auth, "Logon", static_cast<int>(fLogon));
    WriteXmlString(auth, "Passport", fPassport);
    WriteXmlString(auth, "SpecUser", fSpecUser);
    WriteXmlString(auth, "SpecPassword",
                   ScramblePassword(fSpecPassw, Host(), fSpecUser, SpecPasswordBytes));
  }
  pugi::xml_node options = TSettingsStorage::Child(root, "Options");
  WriteXmlInt(options, "Port", Port());
  if (fThreads == GetDefaultThreads())
    options.remove_attribute("Threads");
  else
    WriteXmlInt(options, "Threads", fThreads);
  WriteXmlBool(options, "IgnoreVer", fIgnoreVer.load());
  if (fMaxFails == GetDefaultMaxFails())
    options.remove_attribute("MaxFails");
  else
    WriteXmlInt(options, "MaxFails", fMaxFails);
  WriteXmlInt(options, "Interval", fInterval);
  WriteXmlBool(options, "Caching", fCaching);
  WriteXmlBool(options, "Secured", fSecured);
  WriteXmlBool(options, "IgnoreCertCN", fIgnoreCertCN);
  WriteXmlBool(options, "IgnoreCertDate", fIgnoreCertDate);
  WriteXmlBool(options, "IgnoreCertRevocation", fIgnoreCertRevocation);
  fStorage.Save();
}

// --- QDS settings ----------------------------------------------------------------------

TQDSConfig::TQDSConfig(std::string aFileName, const pugi::xml_document* aGlobalsXML)
    : TWebServiceConfig(std::move(aFileName), "QDS"), fGlobalsXML(aGlobalsXML) {
  // The base constructor could only apply its own defaults.
  ResetToDefaults();
  ResetViewDefaults();
  fChanged = false;
  const TQDSTEID engine = QDSTradeEngineID.load();
  USE_BOARDGROUPS.store(engine != TQDSTEID::eiFutures && engine != TQDSTEID::eiCommodity);
}

void TQDSConfig::ResetViewDefaults() {
  ForbiddenBoards = DefaultForbiddenBoards();
  SetLimitBand(false);
  SetLmtValue(32);
  SetHistLimit(2000000);
  SetDefSEIndx("TARVOINDEXCF");
  SetDefTIIndx("RGBI");
  SetShowYieldsMBS(true);
  SetShowIfaxNews(true);
  fVersion = 1;
}

void TQDSConfig::SetLimitBand(bool Value) {
  Assign(fLimitBand, Value);
}
void TQDSConfig::SetLmtValue(int Value) {
  Assign(fLmtValue, Value);
}
void TQDSConfig::SetHistLimit(std::uint32_t Value) {
  Assign(fHistLimit, std::max<std::uint32_t>(Value, 1000));
}
void TQDSConfig::SetDefSEIndx(std::string Value) {
  Assign(fDefSEIndx, std::move(Value));
}
void TQDSConfig::SetDefTIIndx(std::string Value) {
  Assign(fDefTIIndx, std::move(Value));
}
void TQDSConfig::SetShowYieldsMBS(bool Value) {
  Assign(fShowYieldsMBS, Value);
}
void TQDSConfig::SetShowIfaxNews(bool Value) {
  Assign(fShowIfaxNews, Value);
}

void TQDSConfig::AssignTo(TWebServiceConfig& Dest) const {
  TWebServiceConfig::AssignTo(Dest);
  if (auto* q = dynamic_cast<TQDSConfig*>(&Dest)) {
    q->SetLimitBand(fLimitBand);
    q->SetLmtValue(fLmtValue);
    q->SetHistLimit(fHistLimit);
    q->SetDefSEIndx(fDefSEIndx);
    q->SetDefTIIndx(fDefTIIndx);
  }
}

pugi::xml_node TQDSConfig::AuthorizationNode(pugi::xml_node Node) {
  return Node ? TSettingsStorage::Child(Node, "Authorization") : pugi::xml_node();
}

namespace {

// The element "QDS" of the system-wide defaults: the document element or one
// of its children.
pugi::xml_node GlobalsQDS(const pugi::xml_document* globals) {
  if (!globals) return {};
  pugi::xml_node top = globals->document_element();
  if (!top) return {};
  if (std::string_view(top.name()) == "QDS") return top;
  return top.child("QDS");
}

}  // namespace

void TQDSConfig::Load() {
  pugi::xml_node defaults;
  if (!platform::FileExists(FileName())) defaults = GlobalsQDS(fGlobalsXML);
  if (defaults) {
    // A new settings file from the system-wide defaults. Should it not be
    // writable, the defaults still apply to this session.
    fStorage.GetDocument().reset();
    fStorage.GetDocument().append_copy(defaults);
    try {
      fStorage.Save();
    } catch (const EQDSException&) {
    }
    ReadDocument(true);
  } else {
    TWebServiceConfig::Load();
  }

  ForbiddenBoards = DefaultForbiddenBoards();
  if (IsObsolete(Host(), Obsolete_QDSHost)) SetHost(Default_QDSHost);

  pugi::xml_node root = fStorage.Root();
  if (!root) {
    ResetViewDefaults();
    return;
  }
  fVersion = ClampToU32(ReadXmlInt(root, "Version"), 1);
  pugi::xml_node options = root.child("Options");
  SetLimitBand(ReadXmlBool(options, "LimitBand").value_or(false));
  SetLmtValue(ClampToInt(ReadXmlInt(options, "LmtValue"), 32));
  SetHistLimit(ClampToU32(ReadXmlInt(options, "HistLimit"), 2000000));
  SetDefSEIndx(ReadXmlString(options, "DefSEIndx").value_or("TARVOINDEXCF"));
  SetDefTIIndx(ReadXmlString(options, "DefTIIndx").value_or("RGBI"));
  SetShowYieldsMBS(ReadXmlBool(options, "ShowYieldsMBS").value_or(true));
  SetShowIfaxNews(ReadXmlBool(options, "ShowIfaxNews").value_or(true));
  std::vector<std::string> boards;
  for (const pugi::xml_node child : root.child("Forbidden").children())
    if (child.type() == pugi::node_element) boards.emplace_back(child.name());
  if (!boards.empty()) ForbiddenBoards = std::move(boards);
  if (fVersion < 2) SetShowIfaxNews(true);
}

void TQDSConfig::Save() {
  pugi::xml_node root = fStorage.EnsureRoot();
  WriteXmlInt(root, "Version", 2);
  pugi::xml_node options = TSettingsStorage::Child(root, "Options");
  WriteXmlBool(options, "LimitBand", fLimitBand);
  WriteXmlInt(options, "LmtValue", fLmtValue);
  WriteXmlInt(options, "HistLimit", fHistLimit);
  WriteXmlString(options, "DefSEIndx", fDefSEIndx);
  WriteXmlString(options, "DefTIIndx", fDefTIIndx);
  WriteXmlBool(options, "ShowYieldsMBS", fShowYieldsMBS);
  WriteXmlBool(options, "ShowIfaxNews", fShowIfaxNews);
  pugi::xml_node forbidden = TSettingsStorage::Child(root, "Forbidden");
  while (forbidden.first_child()) forbidden.remove_child(forbidden.first_child());
  for (const std::string& board : ForbiddenBoards) forbidden.append_child(board.c_str());
  TWebServiceConfig::Save();
  fVersion = 2;
}

std::unique_ptr<TqdsURL> TQDSConfig::ProduceURL(std::string_view Script,
                                                TVers SupportedVersions) const {
  std::string host;
  std::uint32_t port;
  {
    std::lock_guard lock(fGuard);
    host = fHost;
    port = fPort;
  }
  auto url = std::make_unique<TqdsURL>(host + std::string(Script), port);
  url->SetSupportedVer(SupportedVersions);
  url->SetExtension(".json");
  return url;
}

// --- process-wide ------------------------------------------------------------------------

namespace {
std::unique_ptr<TWebServiceConfig> CreateQDSConfig(const std::string& FileName,
                                                   const pugi::xml_document* GlobalsXML) {
  return std::make_unique<TQDSConfig>(FileName, GlobalsXML);
}
}  // namespace

std::atomic<TQDSConfigClass> QDSConfigClass{&CreateQDSConfig};
std::atomic<TWebServiceConfig*> QDSSettingsInstance{nullptr};

}  // namespace tarvo
