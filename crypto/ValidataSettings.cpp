// TValidataSettings: the profile and catalogue layout the vendor's own
// configuration tools write under HKEY_CURRENT_USER.
#include <algorithm>
#include <array>
#include <mutex>

#include "crypto/ValidataCore.h"
#include "platform/core/CodePage.h"
#include "platform/core/Text.h"
#include "platform/system/Registry.h"

namespace tarvo {

using platform::RegAccess;
using platform::RegistryKey;
using platform::RegRoot;
using platform::RegValueType;

namespace {

struct LibTypeRow {
  const char* profiles;
  const char* store;
  const char* oids;
  const char* settings;
  const char* prefix;
  const char* library;
  const char* secconn;
};

constexpr std::array<LibTypeRow, 3> kLibTypes = {{
    {"\\Software\\Validata\\xpki\\Profiles\\", "\\Software\\Validata\\xpki\\store\\",
     "\\Software\\Validata\\xpki\\OIDs\\", "\\Software\\Validata\\xcs\\", "xpki:", "xpki1.dll",
     "xsecconn.dll"},
    {"\\Software\\Validata\\rpki\\Profiles\\", "\\Software\\Validata\\rpki\\store\\",
     "\\Software\\Validata\\rpki\\OIDs\\", "\\Software\\Validata\\rcs\\", "rpki:", "rpki1.dll",
     "rsecconn.dll"},
    {"\\Software\\Validata\\zpki\\Profiles\\", "\\Software\\Validata\\zpki\\store\\",
     "\\Software\\Validata\\zpki\\OIDs\\", "\\Software\\Validata\\zcs\\", "zpki:", "zpki1.dll", ""},
}};

// A damaged or hostile registry must not make us walk billions of subkeys.
constexpr std::uint32_t kMaxProfiles = 1000;

// A number stored as a dword or as (at least) 4 bytes of binary data; by the
// value's own type. Missing or unreadable: nullopt.
std::optional<std::uint32_t> ReadNumber(const RegistryKey& key, std::string_view name) {
  try {
    switch (key.ValueType(name)) {
      case RegValueType::DWord:
        return key.ReadDWord(name);
      case RegValueType::Binary: {
        auto bytes = key.ReadBinary(name);
        if (!bytes || bytes->size() < 4) return std::nullopt;
        return static_cast<std::uint32_t>((*bytes)[0]) |
               (static_cast<std::uint32_t>((*bytes)[1]) << 8) |
               (static_cast<std::uint32_t>((*bytes)[2]) << 16) |
               (static_cast<std::uint32_t>((*bytes)[3]) << 24);
      }
      default:
        return std::nullopt;
    }
  } catch (const platform::RegistryError&) {
    return std::nullopt;
  }
}

std::string SubKeyPath(const char* base, std::string_view sub) {
  std::string path(base);
  path.append(sub);
  return path;
}

std::mutex gCatalogueMutex;
std::array<std::shared_ptr<const TValidataExtKeyUsages>, 3> gCatalogues;

// Position of id as the start of a name component: at the beginning or after
// a comma (blanks allowed between), so "O=" is not found inside "INFO=".
std::size_t FindComponent(std::string_view value, std::string_view id) {
  if (id.empty()) return std::string_view::npos;
  for (std::size_t pos = value.find(id); pos != std::string_view::npos;
       pos = value.find(id, pos + 1)) {
    std::size_t before = pos;
    while (before > 0 && value[before - 1] == ' ') --before;
    if (before == 0 || value[before - 1] == ',') return pos;
  }
  return std::string_view::npos;
}

}  // namespace

std::recursive_mutex& ValidataSettingsMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

const char* TValidataSettings::ProfilesKey(TValidataLibType t) {
  return kLibTypes[t].profiles;
}
const char* TValidataSettings::StoreKey(TValidataLibType t) {
  return kLibTypes[t].store;
}
const char* TValidataSettings::OIDsKey(TValidataLibType t) {
  return kLibTypes[t].oids;
}
const char* TValidataSettings::SettingsKey(TValidataLibType t) {
  return kLibTypes[t].settings;
}
const char* TValidataSettings::Prefix(TValidataLibType t) {
  return kLibTypes[t].prefix;
}
const char* TValidataSettings::LibraryName(TValidataLibType t) {
  return kLibTypes[t].library;
}
const char* TValidataSettings::SecConnLibraryName(TValidataLibType t) {
  return kLibTypes[t].secconn;
}

std::vector<TValidataLibType> TValidataSettings::LibTypes(TPkiType pki, TLibIteration order) {
  std::vector<TValidataLibType> types;
  if (pki == ptGost) types = {dllXPKI, dllZPKI};
  if (pki == ptRsa) types = {dllRPKI};
  if (order == TLibIteration::Reverse) std::reverse(types.begin(), types.end());
  return types;
}

std::vector<TValidataProfile> TValidataSettings::GetProfiles(TValidataLibType t, bool withPrefix) {
  std::vector<TValidataProfile> result;
  auto key = RegistryKey::Open(RegRoot::CurrentUser, ProfilesKey(t), RegAccess::Read);
  if (!key) return result;
  const std::uint32_t count = std::min(ReadNumber(*key, "Count").value_or(0), kMaxProfiles);
  for (std::uint32_t i = 0; i < count; ++i) {
    auto sub = RegistryKey::Open(RegRoot::CurrentUser,
                                 SubKeyPath(ProfilesKey(t), std::to_string(i)), RegAccess::Read);
    if (!sub) continue;  // a missing profile subkey is skipped
    std::string name = ReadRegistryText(*sub, "ProfileName");
    if (withPrefix) name = Prefix(t) + name;
    result.push_back({std::move(name), static_cast<int>(i), t});
  }
  return result;
}

std::vector<TValidataProfile> TValidataSettings::GetProfiles(TPkiType pki) {
  std::vector<TValidataProfile> result;
  for (auto t : LibTypes(pki)) {
    auto part = GetProfiles(t, true);
    result.insert(result.end(), part.begin(), part.end());
  }
  return result;
}

int TValidataSettings::GetProfiles(std::vector<TValidataProfile>& all) {
  int types = 0;
  for (TPkiType pki : {ptGost, ptRsa}) {
    auto part = GetProfiles(pki);
    if (!part.empty()) ++types;
    all.insert(all.end(), part.begin(), part.end());
  }
  return types;
}

std::vector<std::string> TValidataSettings::GetValidataProfileList() {
  std::vector<TValidataProfile> all;
  GetProfiles(all);
  std::vector<std::string> names;
  for (auto& p : all) names.push_back(p.Name);
  return names;
}

std::string TValidataSettings::GetCurrentProfile(TValidataLibType t, bool withPrefix) {
  auto key = RegistryKey::Open(RegRoot::CurrentUser, ProfilesKey(t), RegAccess::Read);
  if (!key) return {};
  auto cur = ReadNumber(*key, "CurSel");
  if (!cur || *cur >= kMaxProfiles) return {};
  auto sub = RegistryKey::Open(RegRoot::CurrentUser,
                               SubKeyPath(ProfilesKey(t), std::to_string(*cur)), RegAccess::Read);
  if (!sub) return {};
  std::string name = ReadRegistryText(*sub, "ProfileName");
  if (name.empty()) return {};
  return withPrefix ? Prefix(t) + name : name;
}

std::string TValidataSettings::GetCurrentProfile(TPkiType pki) {
  for (auto t : LibTypes(pki, TLibIteration::Reverse)) {
    std::string name = GetCurrentProfile(t, true);
    if (!name.empty()) return name;
  }
  return {};
}

bool TValidataSettings::SetCurrentProfile(TPkiType pki, const std::string& name,
                                          TValidataLibType* libType) {
  for (auto t : LibTypes(pki, TLibIteration::Reverse)) {
    for (const auto& p : GetProfiles(t, true)) {
      const std::string bare = p.Name.substr(std::string_view(Prefix(t)).size());
      // A name given without prefix names the profile of the first library
      // type that lists it, as the profile lists show names with prefixes.
      if (platform::SameText(p.Name, name) || platform::SameText(bare, name)) {
        auto key = RegistryKey::Create(RegRoot::CurrentUser, ProfilesKey(t));
        if (!key) return false;
        key->WriteDWord("CurSel", static_cast<std::uint32_t>(p.Index));
        if (libType) *libType = t;
        return true;
      }
    }
  }
  return false;
}

std::string TValidataSettings::GetValidataCurrentProfileName(TPkiType pki) {
  return GetCurrentProfile(pki);
}

bool TValidataSettings::SetValidataCurrentProfileName(const std::string& name) {
  TValidataLibType libType = dllZPKI;
  if (!SetCurrentProfile(GetPkiType(name), name, &libType)) return false;
  // Read back from the library type that was written: the PKI type's current
  // profile may come from another library type, which would make a
  // successful change look failed.
  const std::string current = GetCurrentProfile(libType, true);
  if (platform::SameText(current, name)) return true;
  return !HasKnownPrefix(name) && platform::SameText(GetCurrentProfile(libType, false), name);
}

bool TValidataSettings::HasKnownPrefix(std::string_view profileName) {
  for (auto t : {dllXPKI, dllRPKI, dllZPKI})
    if (platform::StartsTextAscii(profileName, Prefix(t))) return true;
  return false;
}

std::string TValidataSettings::GetPkiPrefix(TPkiType pki) {
  auto types = LibTypes(pki);
  return types.empty() ? std::string() : Prefix(types.back());
}

TValidataLibType TValidataSettings::GetLibType(std::string_view profileName) {
  for (auto t : {dllXPKI, dllRPKI, dllZPKI})
    if (platform::StartsTextAscii(profileName, Prefix(t))) return t;
  return dllZPKI;
}

TPkiType TValidataSettings::GetPkiType(std::string_view profileName) {
  return PkiTypeOf(GetLibType(profileName));
}

TPkiType TValidataSettings::FindoutPkiType(std::string& profileName) {
  for (auto t : {dllXPKI, dllRPKI, dllZPKI}) {
    if (platform::StartsTextAscii(profileName, Prefix(t))) {
      profileName.erase(0, std::string_view(Prefix(t)).size());
      return PkiTypeOf(t);
    }
  }
  return ptGost;
}

std::string TValidataSettings::EnsureProfileExists(const std::string& name) {
  const TPkiType pki = GetPkiType(name);
  const auto profiles = GetProfiles(pki);
  // A name without prefix means the zpki profile of that name.
  const std::string wanted = HasKnownPrefix(name) ? name : Prefix(dllZPKI) + name;
  for (const auto& p : profiles)
    if (platform::SameText(p.Name, wanted)) return p.Name;
  const std::string current = GetCurrentProfile(pki);
  for (const auto& p : profiles)
    if (platform::SameText(p.Name, current)) return p.Name;
  return profiles.empty() ? std::string() : profiles.front().Name;
}

std::shared_ptr<const TValidataExtKeyUsages> TValidataSettings::ValidataExtKeyUsages(TPkiType pki) {
  std::lock_guard<std::mutex> guard(gCatalogueMutex);
  auto& slot = gCatalogues[pki];
  if (slot) return slot;
  auto catalogue = std::make_shared<TValidataExtKeyUsages>();
  for (auto t : LibTypes(pki, TLibIteration::Reverse)) {
    auto key = RegistryKey::Open(RegRoot::CurrentUser, OIDsKey(t), RegAccess::Read);
    if (!key) continue;
    for (const auto& subName : key->SubKeyNames()) {
      auto sub =
          RegistryKey::Open(RegRoot::CurrentUser, SubKeyPath(OIDsKey(t), subName), RegAccess::Read);
      if (!sub) continue;
      TValidataExtKeyUsage rec;
      rec.OID = ReadRegistryText(*sub, "OID");
      rec.LongName = ReadRegistryText(*sub, "LN");
      rec.ShortName = ReadRegistryText(*sub, "SN");
      rec.Asn1Type = static_cast<std::int32_t>(ReadNumber(*sub, "Asn1Type").value_or(0));
      rec.Usage = static_cast<std::int32_t>(ReadNumber(*sub, "Usage").value_or(0));
      rec.Value = ReadRegistryText(*sub, "Value");
      if (rec.OID.empty()) continue;
      catalogue->emplace(rec.OID, std::move(rec));
    }
    break;  // the first OIDs key that exists
  }
  slot = std::move(catalogue);
  return slot;
}

std::string TValidataSettings::GetExtKeyUsage(TPkiType pki, const std::string& oid, bool longName) {
  auto catalogue = ValidataExtKeyUsages(pki);
  auto it = catalogue->find(oid);
  if (it == catalogue->end()) return oid;
  const std::string& name = longName ? it->second.LongName : it->second.ShortName;
  return name.empty() ? oid : name;
}

std::string TValidataSettings::GetExtKeyUsages(TPkiType pki, const std::vector<std::string>& oids,
                                               std::string_view separator, bool longName) {
  std::string out;
  for (std::size_t i = 0; i < oids.size(); ++i) {
    if (i) out.append(separator);
    out += GetExtKeyUsage(pki, oids[i], longName);
  }
  return out;
}

void TValidataSettings::FreeExtKeyUsageCatalogues() {
  std::lock_guard<std::mutex> guard(gCatalogueMutex);
  for (auto& c : gCatalogues) c.reset();
}

std::string TValidataSettings::NameSubstr(std::string_view value, std::string_view id) {
  const std::size_t pos = FindComponent(value, id);
  if (pos == std::string_view::npos) return {};
  const std::size_t end = value.find(',', pos);
  return std::string(
      value.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
}

std::string TValidataSettings::GetShortSubject(std::string_view subject) {
  std::string out;
  for (const char* id : {"INN=", "SNILS=", "CN=", "O="}) {
    std::string part = NameSubstr(subject, id);
    if (part.empty()) continue;
    if (!out.empty()) out += ',';
    out += part;
  }
  while (!out.empty() && out.back() == ',') out.pop_back();
  return out;
}

void TValidataSettings::Lock() {
  ValidataSettingsMutex().lock();
}
void TValidataSettings::UnLock() {
  ValidataSettingsMutex().unlock();
}

std::string ReadRegistryText(const RegistryKey& key, std::string_view name) {
  try {
    return key.ReadString(name).value_or(std::string());
  } catch (const platform::RegistryError&) {
    return {};
  }
}

std::optional<std::uint32_t> ReadRegistryNumber(const std::string& keyPath, std::string_view name) {
  auto key = RegistryKey::Open(RegRoot::CurrentUser, keyPath, RegAccess::Read);
  if (!key) return std::nullopt;
  return ReadNumber(*key, name);
}

// --- text helpers shared inside the wrapper ----------------------------------

std::string FromAnsi(const char* s) {
  return s ? platform::FromCodePage(s) : std::string();
}
std::string ToAnsi(std::string_view s) {
  return platform::ToCodePage(s);
}

std::vector<std::string> SplitList(std::string_view text, std::string_view separators) {
  std::vector<std::string> parts;
  std::string current;
  auto flush = [&] {
    std::string t = platform::Trim(current);
    if (!t.empty()) parts.push_back(std::move(t));
    current.clear();
  };
  for (char c : text) {
    if (c == '\n' || c == '\r' || separators.find(c) != std::string_view::npos)
      flush();
    else
      current.push_back(c);
  }
  flush();
  return parts;
}

}  // namespace tarvo
