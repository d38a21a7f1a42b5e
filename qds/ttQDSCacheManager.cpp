#include "qds/ttQDSCacheManager.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

#include "platform/core/Files.h"
#include "platform/core/Library.h"
#include "platform/core/Paths.h"
#include "platform/system/KernelObjects.h"
#include "qds/ttQDSPrimitives.h"

namespace tarvo {

std::string CacheVersionPrefix;

namespace {

constexpr const char* kTOCName = "TOC.dat";
constexpr const char* kTOCFallback = "TOC.bak";
constexpr const char* kMutexName = "WebClientCache";

// Parses a whole decimal integer; nullopt for anything else (empty, junk,
// overflow), so that one bad attribute rejects one element, not the table.
std::optional<long long> ParseInt(const char* s) {
  if (!s || !*s) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s, &end, 10);
  if (errno || *end) return std::nullopt;
  return v;
}

// Element names must be XML names; a specs key that is not one is written as
// an element "_" carrying the key in its `Name` attribute, so every tree that
// is saved reads back.
bool IsXmlName(const std::string& s) {
  if (s.empty()) return false;
  auto start = [](unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; };
  if (!start(static_cast<unsigned char>(s[0]))) return false;
  if (s.size() >= 3 && platform::SameTextAscii(s.substr(0, 3), "xml")) return false;
  for (unsigned char c : s)
    if (!(start(c) || std::isdigit(c) || c == '-' || c == '.')) return false;
  return true;
}

bool HasNul(const std::string& s) {
  return s.find('\0') != std::string::npos;
}

}  // namespace

// --- specs tree ----------------------------------------------------------------

TSpecsNode* TSpecsNode::Find(const std::string& name) const {
  for (auto& [n, child] : children)
    if (platform::SameText(n, name)) return child.get();
  return nullptr;
}

TSpecsNode* TSpecsNode::FindOrAdd(const std::string& name) {
  if (auto* n = Find(name)) return n;
  children.emplace_back(name, std::make_unique<TSpecsNode>());
  return children.back().second.get();
}

// --- manager -------------------------------------------------------------------

TQDSCacheManager::TQDSCacheManager(std::string folder, std::string host)
    : fQDSFolder(platform::IncludeTrailingPathDelimiter(folder)), fHost(std::move(host)) {
  MH = platform::NamedMutex::Create(kMutexName);
  if (!MH.Valid()) throw EQDSException("Cannot open the cache mutex \"WebClientCache\"");
  fProgramPath = platform::ExecutablePath();
}

TQDSCacheManager::~TQDSCacheManager() {
  {
    std::lock_guard g(fQueueLock);
    fTerminate = true;
  }
  fQueueCv.notify_all();
  if (fThread.joinable()) fThread.join();
  try {
    std::lock_guard g(fTableLock);
    if (fLoaded && !fIsBroken) SaveTOC();
  } catch (...) {
    // A destructor must not throw; the entries are on disk already and the
    // table is rebuilt from the next save's merge.
  }
}

std::string TQDSCacheManager::DefaultFolder() {
  std::string base = platform::LocalAppDataFolder();
  if (base.empty()) base = platform::ExecutableFolder();
  return platform::IncludeTrailingPathDelimiter(base) + "TARVO/QDSData/";
}

std::string TQDSCacheManager::GetVersion() const {
  return CacheVersionPrefix + "1" + "ur";
}

void TQDSCacheManager::SetClock(Clock clock) {
  std::lock_guard g(fTableLock);
  fClock = std::move(clock);
}

platform::TDateTime TQDSCacheManager::NowTime() const {
  std::lock_guard g(fTableLock);
  return fClock ? fClock() : platform::Now();
}

bool TQDSCacheManager::Lock() {
  switch (MH.Wait(fLockTimeoutMs)) {
    case platform::WaitResult::Signaled:
    case platform::WaitResult::Abandoned:  // writes are atomic: nothing can be half-done
      return true;
    case platform::WaitResult::Timeout:
      fIsBroken = true;
      return false;
    default:
      return false;
  }
}

void TQDSCacheManager::Unlock() {
  MH.Release();
}

std::size_t TQDSCacheManager::EntryCount() const {
  std::lock_guard g(fTableLock);
  return fTOC.size();
}

TCachedFile* TQDSCacheManager::FindEntry(const std::string& code) {
  auto it = fTOC.find(platform::FoldCase(code));
  return it == fTOC.end() ? nullptr : it->second.second.get();
}

void TQDSCacheManager::DropEntry(const std::string& code, bool deleteFile) {
  std::lock_guard g(fTableLock);
  auto it = fTOC.find(platform::FoldCase(code));
  if (it == fTOC.end()) return;
  if (deleteFile) platform::DeleteFile(it->second.second->GetFileName());
  fTOC.erase(it);
  fDirty = true;
}

// --- table of contents -----------------------------------------------------------

bool TQDSCacheManager::ReadTOCDocument(pugi::xml_document& doc, bool& existed) {
  existed = false;
  for (const char* name : {kTOCName, kTOCFallback}) {
    auto bytes = platform::ReadFileBytes(FolderFile(name));
    if (!bytes) continue;
    existed = true;
    doc.reset();
    if (doc.load_buffer(bytes->data(), bytes->size()) && doc.child("TableOfContents")) return true;
  }
  doc.reset();
  return false;
}

bool TQDSCacheManager::WriteTOCDocument(const pugi::xml_document& doc) {
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  if (!platform::ForceDirectories(platform::ExcludeTrailingPathDelimiter(fQDSFolder))) return false;
  // Keep the table being replaced as the fallback, but only a readable one.
  if (auto old = platform::ReadFileBytes(FolderFile(kTOCName))) {
    pugi::xml_document check;
    if (check.load_buffer(old->data(), old->size()) && check.child("TableOfContents"))
      platform::WriteFileAtomic(FolderFile(kTOCFallback), *old);
  }
  return platform::WriteFileAtomic(FolderFile(kTOCName), out.str());
}

pugi::xml_node TQDSCacheManager::FindHostNode(pugi::xml_node version) {
  pugi::xml_node hosts = version.child("Hosts");
  if (!hosts) hosts = version.append_child("Hosts");
  int n = 0;
  for (pugi::xml_node h : hosts.children()) {
    ++n;
    if (platform::SameText(h.attribute("Host").as_string(), fHost)) return h;
  }
  pugi::xml_node h = hosts.append_child(("Host" + std::to_string(n)).c_str());
  h.append_attribute("Host").set_value(fHost.c_str());
  return h;
}

int TQDSCacheManager::ProgramUsesCacheVersion(pugi::xml_node version, const std::string& exe,
                                              TCacheVersionAction action) {
  pugi::xml_node users = version.child("Users");
  if (!users) users = version.append_child("Users");
  pugi::xml_node found;
  int count = 0;
  for (pugi::xml_node u : users.children()) {
    ++count;
    if (!found && exe == u.attribute("User").as_string()) found = u;
  }
  if (found && action == TCacheVersionAction::cvaRemove) {
    pugi::xml_node last = users.last_child();
    if (last != found) found.attribute("User").set_value(last.attribute("User").as_string());
    users.remove_child(last);
    --count;
  } else if (!found && action == TCacheVersionAction::cvaAppend) {
    users.append_child(("P" + std::to_string(count)).c_str())
        .append_attribute("User")
        .set_value(exe.c_str());
    ++count;
  }
  return count;
}

bool TQDSCacheManager::TryCreateFrom(pugi::xml_node node, platform::TDateTime now,
                                     std::string& code, std::unique_ptr<TCachedFile>& out) {
  code = node.attribute("Code").as_string();
  const std::string fileName = node.attribute("FileName").as_string();
  auto ttl =
      node.attribute("TTL") ? ParseInt(node.attribute("TTL").value()) : std::optional<long long>(0);
  auto creation = node.attribute("Creation") ? ParseInt(node.attribute("Creation").value())
                                             : std::optional<long long>(0);
  auto size = ParseInt(node.attribute("Size").as_string("0"));
  if (!ttl || !creation || !size || *ttl < 0 || *size < 0 || *size > INT32_MAX) return false;
  if (!IsCacheEntryFileName(fileName)) return false;  // never touched: may point anywhere
  const bool expired = now < static_cast<double>(*creation) || *creation + *ttl < std::floor(now);
  if (expired) {
    // Its file would otherwise stay for ever.
    platform::DeleteFile(FolderFile(fileName));
    return false;
  }
  if (!platform::FileExists(FolderFile(fileName))) return false;
  out = std::make_unique<TCachedFile>(this, static_cast<double>(*ttl), fileName,
                                      static_cast<double>(*creation),
                                      static_cast<std::int32_t>(*size));
  return true;
}

void TQDSCacheManager::ReadSpecs(pugi::xml_node node, TSpecsNode& into) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() != pugi::node_element) continue;
    std::string name = child.attribute("Name") ? child.attribute("Name").value() : child.name();
    TSpecsNode* item = into.FindOrAdd(name);
    if (child.first_child().type() == pugi::node_pcdata) {
      item->children.clear();
      item->lines = platform::SplitString(child.text().get(), '\n');
    } else {
      ReadSpecs(child, *item);
    }
  }
}

void TQDSCacheManager::WriteSpecs(pugi::xml_node node, const TSpecsNode& from) {
  for (auto& [name, item] : from.children) {
    if (item->Empty()) continue;
    pugi::xml_node child = node.append_child(IsXmlName(name) ? name.c_str() : "_");
    if (!IsXmlName(name)) child.append_attribute("Name").set_value(name.c_str());
    if (!item->children.empty()) {
      WriteSpecs(child, *item);
    } else {
      std::string text;
      for (std::size_t i = 0; i < item->lines.size(); ++i) text += (i ? "\n" : "") + item->lines[i];
      child.text().set(text.c_str());
    }
  }
}

void TQDSCacheManager::LoadTOC(bool fresh) {
  std::lock_guard g(fTableLock);
  if (fresh) fTOC.clear();
  if (!Lock()) return;
  pugi::xml_document doc;
  bool existed = false;
  if (ReadTOCDocument(doc, existed)) {
    const std::string version = GetVersion();
    // Reading the clock converts to local time, which is not free: once per table.
    const platform::TDateTime now = NowTime();
    for (pugi::xml_node v : doc.child("TableOfContents").children("CacheVersion")) {
      if (!platform::SameText(v.attribute("Value").as_string(), version)) continue;
      pugi::xml_node host;
      for (pugi::xml_node h : v.child("Hosts").children())
        if (platform::SameText(h.attribute("Host").as_string(), fHost)) {
          host = h;
          break;
        }
      for (pugi::xml_node e : host.children()) {
        if (e.attribute("Code").as_string()[0]) {
          const std::string key = platform::FoldCase(e.attribute("Code").as_string());
          auto it = fTOC.find(key);
          if (it != fTOC.end() && it->second.second->Local()) continue;
          if (it != fTOC.end() &&
              it->second.second->FileName() == e.attribute("FileName").as_string()) {
            // Same file, and files are never rewritten: only the record may differ.
            continue;
          }
          std::string code;
          std::unique_ptr<TCachedFile> entry;
          if (TryCreateFrom(e, now, code, entry)) fTOC[key] = {code, std::move(entry)};
        } else if (std::string(e.attribute("Specs").as_string()) == "Keys") {
          ReadSpecs(e, fSpecs);
        }
      }
    }
  }
  Unlock();
}

bool TQDSCacheManager::SaveTOC() {
  std::lock_guard g(fTableLock);
  if (!fLoaded) return false;
  LoadTOC(false);
  if (!Lock()) return false;
  pugi::xml_document doc;
  bool existed = false;
  if (!ReadTOCDocument(doc, existed)) {
    doc.reset();
    auto decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version").set_value("1.0");
    doc.append_child("TableOfContents");
  }
  pugi::xml_node root = doc.child("TableOfContents");
  const std::string version = GetVersion();
  pugi::xml_node v;
  for (pugi::xml_node c : root.children("CacheVersion"))
    if (platform::SameText(c.attribute("Value").as_string(), version)) {
      v = c;
      break;
    }
  if (!v) {
    v = root.append_child("CacheVersion");
    v.append_attribute("Value").set_value(version.c_str());
  }
  ProgramUsesCacheVersion(v, fProgramPath, TCacheVersionAction::cvaAppend);
  pugi::xml_node host = FindHostNode(v);
  while (host.first_child()) host.remove_child(host.first_child());
  int j = 0;
  for (auto& [key, item] : fTOC) {
    auto& [code, entry] = item;
    pugi::xml_node e = host.append_child(("E" + std::to_string(j++)).c_str());
    e.append_attribute("Code").set_value(code.c_str());
    e.append_attribute("FileName").set_value(entry->FileName().c_str());
    e.append_attribute("Size").set_value(entry->Size());
    e.append_attribute("TTL").set_value(static_cast<long long>(std::trunc(entry->TTL())));
    e.append_attribute("Creation").set_value(static_cast<long long>(std::trunc(entry->Creation())));
  }
  pugi::xml_node specs = host.append_child("ESpecs");
  specs.append_attribute("Specs").set_value("Keys");
  WriteSpecs(specs, fSpecs);
  const bool ok = WriteTOCDocument(doc);
  if (ok) {
    for (auto& [key, item] : fTOC) item.second->SetLocal(false);
    fDirty = false;
    fLastSave = std::chrono::steady_clock::now();
  }
  Unlock();
  return ok;
}

// --- lookups and entries ------------------------------------------------------------

bool TQDSCacheManager::DataExists(const std::string& code) {
  if (fIsBroken) return false;
  std::lock_guard g(fTableLock);
  if (!fLoaded) {
    CleanupTOC();
    // Files of expired or superseded entries, and of writers that died before
    // saving the table, are swept once they are older than any entry can live.
    RequestSweep();
    LoadTOC(true);
    fLoaded = true;
  }
  TCachedFile* e = FindEntry(code);
  return e && platform::FileExists(e->GetFileName());
}

std::unique_ptr<TCacheStream> TQDSCacheManager::FileStream(const std::string& code,
                                                           TCacheStreamMode mode,
                                                           bool useCompression, double ttlDays) {
  if (fIsBroken || code.empty() || HasNul(code)) return nullptr;
  std::lock_guard g(fTableLock);
  if (!fLoaded) return nullptr;
  std::unique_ptr<TCacheStream> s(new TCacheStream(this, code, mode, useCompression));
  s->fTTL = ttlDays;
  if (mode == TCacheStreamMode::Create) {
    s->fValid = true;
    return s;
  }
  TCachedFile* e = FindEntry(code);
  if (!e) return nullptr;
  // Read the whole entry under the lock: another process may replace the
  // file right after we release it, and we must not mix two versions.
  if (!Lock()) return nullptr;
  const std::string path = e->GetFileName();
  auto bytes = platform::ReadFileBytes(path);
  bool ok = false;
  if (bytes) {
    const auto size = static_cast<std::size_t>(e->Size());
    if (useCompression) {
      ok = CacheInflate(*bytes, size, s->fData);
    } else {
      ok = bytes->size() == size;
      if (ok) s->fData = std::move(*bytes);
    }
  }
  if (!ok) DropEntry(code, bytes.has_value());  // damaged or gone: a miss
  Unlock();
  if (!ok) return nullptr;
  s->fValid = true;
  return s;
}

bool TQDSCacheManager::CommitEntry(const std::string& code, const std::string& data,
                                   bool useCompression, double ttlDays) {
  const std::string bytes = useCompression ? CacheDeflate(data) : data;
  if (useCompression && bytes.empty()) return false;
  std::lock_guard g(fTableLock);
  if (!fLoaded || fIsBroken) return false;
  if (!platform::ForceDirectories(platform::ExcludeTrailingPathDelimiter(fQDSFolder))) return false;
  if (!Lock()) return false;
  const std::string key = platform::FoldCase(code);
  auto it = fTOC.find(key);
  std::unique_ptr<TCachedFile> fresh;
  TCachedFile* e = it == fTOC.end() ? nullptr : it->second.second.get();
  if (!e) {
    fresh = std::make_unique<TCachedFile>(this, ttlDays, NewCacheGuid() + ".dat", NowTime(), 0);
    e = fresh.get();
  }
  // Every write goes to a new file: a file, once named in a table, never
  // changes, so a process holding an older record of this key can only miss
  // (the old file is gone), never read the new bytes against the old size.
  const std::string newName = fresh ? e->FileName() : NewCacheGuid() + ".dat";
  const bool ok = platform::WriteFileAtomic(FolderFile(newName), bytes);
  if (ok) {
    if (!fresh) {
      platform::DeleteFile(e->GetFileName());
      e->SetFileName(newName);
    }
    e->SetSize(static_cast<std::int32_t>(data.size()));
    e->SetCreation(NowTime());
    e->SetLocal(true);
    if (fresh) fTOC[key] = {code, std::move(fresh)};
    fDirty = true;
  }
  Unlock();
  if (ok) EntryWritten();
  return ok;
}

std::optional<std::string> TQDSCacheManager::ReadEntry(const std::string& code) {
  if (!DataExists(code)) return std::nullopt;
  auto s = FileStream(code, TCacheStreamMode::Read, true, 0);
  if (!s || !s->Valid()) return std::nullopt;
  return s->Data();
}

bool TQDSCacheManager::WriteEntry(const std::string& code, const std::string& data,
                                  double ttlDays) {
  DataExists(code);  // loads the table on first use
  auto s = FileStream(code, TCacheStreamMode::Create, true, ttlDays);
  if (!s) return false;
  if (s->Write(data.data(), static_cast<std::int64_t>(data.size())) < 0) return false;
  return s->Close();
}

void TQDSCacheManager::EntryWritten() {
  if (fSaveDelayMs == 0) {
    SaveTOC();
    return;
  }
  std::lock_guard g(fQueueLock);
  if (fSavePending) return;
  fSavePending = true;
  Task t{TLongThreadTask::ltSave, nullptr, 0};
  AddTaskLocked(std::move(t));
}

bool TQDSCacheManager::Clear() {
  if (!Lock()) return false;
  bool ok = true;
  for (const auto& f : platform::ListFiles(platform::ExcludeTrailingPathDelimiter(fQDSFolder)))
    if (!f.isDirectory && !platform::DeleteFile(FolderFile(f.name))) ok = false;
  Unlock();
  return ok;
}

// --- specs ---------------------------------------------------------------------

void TQDSCacheManager::LoadSpecs(ISpecsUser& item) {
  std::lock_guard g(fTableLock);
  const int n = item.GetKeyPartCount();
  const TSpecsNode* node = n > 0 ? &fSpecs : nullptr;
  for (int i = 1; node && i <= n; ++i) node = node->Find(item.GetKeyPart(i));
  item.LoadFrom(node ? &node->lines : nullptr);
}

void TQDSCacheManager::SaveSpecs(ISpecsUser& item) {
  std::lock_guard g(fTableLock);
  const int n = item.GetKeyPartCount();
  if (n <= 0) return;
  TSpecsNode* node = &fSpecs;
  for (int i = 1; i <= n; ++i) node = node->FindOrAdd(item.GetKeyPart(i));
  node->children.clear();
  node->lines.clear();
  item.SaveTo(node->lines);
  for (auto& line : node->lines)
    line.erase(std::remove(line.begin(), line.end(), '\0'), line.end());
  fDirty = true;
}

// --- housekeeping ------------------------------------------------------------------

bool TQDSCacheManager::Pause(std::uint32_t ms) {
  std::unique_lock g(fQueueLock);
  return !fQueueCv.wait_for(g, std::chrono::milliseconds(ms), [&] { return fTerminate; });
}

void TQDSCacheManager::CleanupTOC_Internal(std::uint32_t delayMs) {
  if (fIsBroken) return;
  if (delayMs && !Pause(delayMs)) return;
  if (!Lock()) return;
  pugi::xml_document doc;
  bool existed = false;
  if (ReadTOCDocument(doc, existed)) {
    const std::string version = GetVersion();
    pugi::xml_node root = doc.child("TableOfContents");
    bool changed = false;
    std::vector<pugi::xml_node> versions;
    for (pugi::xml_node v : root.children("CacheVersion")) versions.push_back(v);
    for (auto it = versions.rbegin(); it != versions.rend(); ++it) {
      pugi::xml_node v = *it;
      if (platform::SameText(v.attribute("Value").as_string(), version)) continue;
      const int before =
          static_cast<int>(std::distance(v.child("Users").begin(), v.child("Users").end()));
      const int left = ProgramUsesCacheVersion(v, fProgramPath, TCacheVersionAction::cvaRemove);
      if (left != before) changed = true;
      if (left > 0) continue;
      for (pugi::xml_node h : v.child("Hosts").children())
        for (pugi::xml_node e : h.children()) {
          const std::string name = e.attribute("FileName").as_string();
          if (IsCacheEntryFileName(name))
            platform::DeleteFile(FolderFile(name));  // errors are not fatal
        }
      root.remove_child(v);
      changed = true;
    }
    if (changed) WriteTOCDocument(doc);
  }
  Unlock();
}

std::size_t TQDSCacheManager::SweepOrphans(double minAgeDays) {
  if (fIsBroken) return 0;
  std::lock_guard g(fTableLock);
  if (!Lock()) return 0;
  std::set<std::string> named;
  long long maxTTL = 0;
  pugi::xml_document doc;
  bool existed = false;
  const bool readable = ReadTOCDocument(doc, existed);
  if (existed && !readable) {
    Unlock();  // without a table we cannot tell orphans from entries
    return 0;
  }
  for (pugi::xml_node v : doc.child("TableOfContents").children())
    for (pugi::xml_node h : v.child("Hosts").children())
      for (pugi::xml_node e : h.children()) {
        named.insert(platform::FoldCase(e.attribute("FileName").as_string()));
        maxTTL = std::max(maxTTL, ParseInt(e.attribute("TTL").as_string("0")).value_or(0));
      }
  for (auto& [key, item] : fTOC) {
    named.insert(platform::FoldCase(item.second->FileName()));
    maxTTL = std::max(maxTTL, static_cast<long long>(item.second->TTL()));
  }
  const double minAge = minAgeDays >= 0 ? minAgeDays : static_cast<double>(maxTTL + 1);
  const auto now = std::filesystem::file_time_type::clock::now();
  std::size_t removed = 0;
  for (const auto& f :
       platform::ListFiles(platform::ExcludeTrailingPathDelimiter(fQDSFolder), "*.dat")) {
    if (f.isDirectory || f.isLink || !IsCacheEntryFileName(f.name) ||
        named.count(platform::FoldCase(f.name)))
      continue;
    std::error_code ec;
    const auto mtime = std::filesystem::last_write_time(FolderFile(f.name), ec);
    if (ec) continue;
    const double ageDays = std::chrono::duration<double>(now - mtime).count() / 86400.0;
    if (ageDays >= minAge && platform::DeleteFile(FolderFile(f.name))) ++removed;
  }
  Unlock();
  return removed;
}

std::string TQDSCacheManager::FormatCacheSize(std::uint64_t bytes) {
  static const char* units[] = {"B", "KB", "MB", "GB"};
  char buf[64];
  if (bytes <= 1024) {
    std::snprintf(buf, sizeof buf, "%d %s", static_cast<int>(bytes), units[0]);
    return buf;
  }
  std::uint64_t v = bytes;
  int unit = 0;
  while (v > 1023999 && unit < 3) {
    v /= 1024;
    ++unit;
  }
  if (v <= 1024 || unit == 3) {
    std::snprintf(buf, sizeof buf, "%llu %s", static_cast<unsigned long long>(v), units[unit]);
    return buf;
  }
  std::uint64_t whole = v / 1024;
  if (v >= 102400) {
    std::snprintf(buf, sizeof buf, "%llu %s", static_cast<unsigned long long>(whole),
                  units[unit + 1]);
    return buf;
  }
  const int scale = v < 10240 ? 100 : 10;
  auto frac =
      static_cast<std::uint64_t>(std::nearbyint(static_cast<double>(v % 1024) * scale / 1024.0));
  if (frac >= static_cast<std::uint64_t>(scale)) {
    frac -= scale;
    ++whole;
  }
  std::snprintf(buf, sizeof buf, "%llu.%0*llu %s", static_cast<unsigned long long>(whole),
                scale == 100 ? 2 : 1, static_cast<unsigned long long>(frac), units[unit + 1]);
  return buf;
}

std::string TQDSCacheManager::GetCacheSize_Internal(std::uint32_t delayMs) {
  if (delayMs && !Pause(delayMs)) return "-";
  auto files = platform::TryListFiles(platform::ExcludeTrailingPathDelimiter(fQDSFolder));
  if (!files || files->empty()) return "-";
  std::uint64_t total = 0;  // 64 bits: a 32-bit counter wraps at 4 GB
  for (const auto& f : *files)
    if (!f.isDirectory) total += f.size;
  return FormatCacheSize(total);
}

void TQDSCacheManager::AddTaskLocked(Task task) {
  if (!fThread.joinable()) fThread = std::thread([this] { ThreadMain(); });
  if (fJobs.empty())
    fJobs.push_back(std::move(task));
  else
    fJobs.insert(fJobs.begin() + 1, std::move(task));  // the newest waiting task runs next
  fQueueCv.notify_all();
}

void TQDSCacheManager::AddTask(Task task) {
  std::lock_guard g(fQueueLock);
  if (fTerminate) return;
  AddTaskLocked(std::move(task));
}

void TQDSCacheManager::CleanupTOC() {
  AddTask({TLongThreadTask::ltCleanup, nullptr, 0});
}
void TQDSCacheManager::RequestSize(SizeCallback callback) {
  AddTask({TLongThreadTask::ltSize, std::move(callback), 0});
}
void TQDSCacheManager::RequestSweep(double minAgeDays) {
  AddTask({TLongThreadTask::ltSweep, nullptr, minAgeDays});
}

void TQDSCacheManager::SkipSizeCalculation() {
  std::lock_guard g(fQueueLock);
  std::size_t i = 0;
  for (; i < fJobs.size() && fJobs[i].task == TLongThreadTask::ltSize; ++i)
    fJobs[i].callback = nullptr;
  for (; i < fJobs.size(); ++i)
    if (fJobs[i].task == TLongThreadTask::ltSize) {
      fJobs.erase(fJobs.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
}

void TQDSCacheManager::WaitIdle() {
  std::unique_lock g(fQueueLock);
  fQueueCv.wait(g, [&] { return fTerminate || (fJobs.empty() && !fBusy); });
}

void TQDSCacheManager::ThreadMain() {
  platform::SetCurrentThreadName("qds-long-task");
  std::unique_lock g(fQueueLock);
  for (;;) {
    fQueueCv.wait(g, [&] { return fTerminate || !fJobs.empty(); });
    if (fTerminate) break;
    // The head stays in the queue while it runs, so that a new task is
    // queued behind it and SkipSizeCalculation can see it.
    fBusy = true;
    Task t = fJobs.front();
    g.unlock();
    std::string sizeText;
    switch (t.task) {
      case TLongThreadTask::ltCleanup:
        CleanupTOC_Internal(2000);
        break;
      case TLongThreadTask::ltSweep:
        SweepOrphans(t.arg);
        break;
      case TLongThreadTask::ltSave: {
        if (Pause(fSaveDelayMs)) {
          {
            std::lock_guard q(fQueueLock);
            fSavePending = false;
          }
          SaveTOC();
        }
        break;
      }
      case TLongThreadTask::ltSize: {
        {
          std::lock_guard q(fQueueLock);
          if (!fJobs.empty() && !fJobs.front().callback) t.callback = nullptr;
        }
        if (t.callback) sizeText = GetCacheSize_Internal(1000);
        break;
      }
      default:
        break;
    }
    g.lock();
    SizeCallback cb;
    if (t.task == TLongThreadTask::ltSize && !fJobs.empty()) cb = fJobs.front().callback;
    if (!fJobs.empty()) fJobs.erase(fJobs.begin());
    fBusy = false;
    if (cb && !sizeText.empty()) {
      fLastSize = sizeText;
      g.unlock();
      cb(sizeText);  // on this thread; see the header
      g.lock();
    }
    fQueueCv.notify_all();
  }
  fBusy = false;
  fQueueCv.notify_all();
}

// --- uninstall ------------------------------------------------------------------

std::vector<std::string> TQDSCacheManager::FullTOCCleanup(const std::string& moduleFolder,
                                                          bool printList) {
  std::vector<std::string> keep{kTOCName};
  if (!Lock()) return {};
  const std::string ours =
      platform::UpperCase(platform::IncludeTrailingPathDelimiter(moduleFolder));
  pugi::xml_document doc;
  bool existed = false;
  if (ReadTOCDocument(doc, existed)) {
    pugi::xml_node root = doc.child("TableOfContents");
    std::vector<pugi::xml_node> versions;
    for (pugi::xml_node v : root.children())
      if (v.attribute("Value")) versions.push_back(v);
    bool changed = false;
    for (auto it = versions.rbegin(); it != versions.rend(); ++it) {
      bool used = false;
      for (pugi::xml_node u : it->child("Users").children()) {
        const std::string exe = u.attribute("User").as_string();
        if (!exe.empty() && platform::FileExists(exe) &&
            platform::UpperCase(platform::ExtractFilePath(exe)) != ours)
          used = true;
      }
      if (used) {
        for (pugi::xml_node h : it->child("Hosts").children())
          for (pugi::xml_node e : h.children())
            if (IsCacheEntryFileName(e.attribute("FileName").as_string()))
              keep.push_back(e.attribute("FileName").as_string());
      } else {
        root.remove_child(*it);
        changed = true;
      }
    }
    if (changed) WriteTOCDocument(doc);
  }
  if (printList) {
    for (const auto& k : keep) std::printf("%s\n", k.c_str());
    std::fflush(stdout);
  }
  std::set<std::string> kept;
  for (const auto& k : keep) kept.insert(platform::FoldCase(k));
  for (const auto& f :
       platform::ListFiles(platform::ExcludeTrailingPathDelimiter(fQDSFolder), "*.dat"))
    if (!f.isDirectory && !kept.count(platform::FoldCase(f.name)))
      platform::DeleteFile(FolderFile(f.name));
  platform::DeleteFile(FolderFile(kTOCFallback));  // may name files just deleted
  Unlock();
  return keep;
}

extern "C" void CleanQDSCache() {
  try {
    TQDSCacheManager m(TQDSCacheManager::DefaultFolder(), "SomeHost");
    // Programs in this library's own folder are the ones being removed; the
    // uninstaller itself may run from anywhere.
    const std::string self = platform::ModulePathOf(reinterpret_cast<const void*>(&CleanQDSCache));
    m.FullTOCCleanup(self.empty() ? platform::ExecutableFolder() : platform::ExtractFilePath(self),
                     true);
  } catch (...) {
    // The uninstaller has no one to report to; the cache is left as it was.
  }
}

}  // namespace tarvo
