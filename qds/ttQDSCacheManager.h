// The market-data disk cache shared by all processes of a user.
//
// One folder per user (LocalAppDataFolder() + "/TARVO/QDSData/", or the
// executable's folder + "TARVO/QDSData/" when there is none) holds one
// compressed file per cached document and a table of contents, "TOC.dat", an
// XML document that maps each key (`Code`) to its file, size, time to live and
// creation day, separately per cache version and per service host.
//
// Cross-process: every table or folder operation holds the named mutex
// "WebClientCache" (the platform's named mutex; its lock file lives in the
// runtime folder, outside the cache folder that Clear empties). A wait longer
// than 10 s marks the manager broken: from then on every lookup is a miss. A
// missing or damaged entry is only a miss, never a broken cache.
//
// Durability: the table and the entries are written atomically (temporary
// file + rename). The table is saved shortly after new entries (debounced) and
// at destruction, merging what other processes wrote meanwhile. A table that
// cannot be parsed falls back to the previous one ("TOC.bak"); a bad element is
// skipped, never the whole table.
//
// Threads: all public members may be called from any thread; the in-memory
// table has its own lock. The housekeeping thread "qds-long-task" runs version
// cleanups, orphan sweeps and size computations; size callbacks are called on
// that thread (the host marshals them to its UI thread if it needs to).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/DateTime.h"
#include "platform/core/Text.h"
#include "platform/system/KernelObjects.h"
#include "qds/ttQDSCache.h"

namespace pugi {
class xml_node;
class xml_document;
}  // namespace pugi

namespace tarvo {

// Set by the host before the first manager is created; prefixes the cache
// version string ("" + "1" + "ur" by default).
extern std::string CacheVersionPrefix;

enum class TLongThreadTask { ltNone, ltCleanup, ltSize, ltSweep, ltSave };
enum class TCacheVersionAction { cvaNone, cvaAppend, cvaRemove };

// A node of the specs tree: either lines of text (a leaf) or named children.
struct TSpecsNode {
  std::vector<std::string> lines;
  std::vector<std::pair<std::string, std::unique_ptr<TSpecsNode>>>
      children;  // case-insensitive names
  TSpecsNode* Find(const std::string& name) const;
  TSpecsNode* FindOrAdd(const std::string& name);
  bool Empty() const { return lines.empty() && children.empty(); }
};

// Implemented by the host for settings it keeps in the specs tree.
class ISpecsUser {
 public:
  virtual ~ISpecsUser() = default;
  virtual std::string GetKeyPart(int index) = 0;  // 1-based
  virtual int GetKeyPartCount() = 0;
  virtual void LoadFrom(const std::vector<std::string>* lines) = 0;  // nullptr: nothing stored
  virtual void SaveTo(std::vector<std::string>& lines) = 0;
};

class TQDSCacheManager {
 public:
  using SizeCallback = std::function<void(const std::string& sizeText)>;
  using Clock = std::function<platform::TDateTime()>;

  // Does not touch the disk. folder need not end with "/". Throws
  // EQDSException when the named mutex cannot be opened.
  TQDSCacheManager(std::string folder, std::string host);
  // Stops the housekeeping thread (waits for its current task) and saves the
  // table when it was loaded.
  virtual ~TQDSCacheManager();
  TQDSCacheManager(const TQDSCacheManager&) = delete;
  TQDSCacheManager& operator=(const TQDSCacheManager&) = delete;

  // The default folder of the user's cache, ending with "/".
  static std::string DefaultFolder();

  virtual std::string GetVersion() const;
  const std::string& Folder() const noexcept { return fQDSFolder; }
  const std::string& Host() const noexcept { return fHost; }
  bool IsBroken() const noexcept { return fIsBroken.load(); }

  // Loads the table on the first call (and schedules a version cleanup).
  bool DataExists(const std::string& code);
  // A stream over the entry; nullptr before the table is loaded, on a broken
  // cache, for a key holding a NUL byte, or (reading) for an unknown key.
  // A new key gets a new entry with the given time to live in days; a known
  // key keeps its time to live (its document goes to a new file on Close).
  // Create mode needs no lock until Close; read mode loads and verifies the
  // whole entry under the lock and releases it before returning.
  std::unique_ptr<TCacheStream> FileStream(const std::string& code, TCacheStreamMode mode,
                                           bool useCompression, double ttlDays);
  // Convenience: the whole verified document, or nullopt on a miss.
  std::optional<std::string> ReadEntry(const std::string& code);
  bool WriteEntry(const std::string& code, const std::string& data, double ttlDays);

  void LoadTOC(bool fresh);
  // Merges, then writes the table atomically. False when nothing was written.
  bool SaveTOC();
  std::size_t EntryCount() const;

  void CleanupTOC();  // queues a version cleanup
  void RequestSize(SizeCallback callback);
  void SkipSizeCalculation();
  // Queues a sweep of entry files that no table names and that are older than
  // minAgeDays (default: longest time to live in the table + 1 day).
  void RequestSweep(double minAgeDays = -1);
  // Blocks until the housekeeping queue is empty (tests, shutdown).
  void WaitIdle();

  // Deletes every file in the folder, under the lock.
  bool Clear();

  void LoadSpecs(ISpecsUser& item);
  void SaveSpecs(ISpecsUser& item);

  // Lock for cross-process access: 10 s, then the cache is broken.
  bool Lock();
  void Unlock();

  // Uninstall cleanup: keeps the versions used by programs outside
  // moduleFolder that still exist; deletes every other "*.dat". Returns the
  // keep-list (also written to standard output when printList).
  std::vector<std::string> FullTOCCleanup(const std::string& moduleFolder, bool printList);

  // Work done by the housekeeping thread, callable directly.
  void CleanupTOC_Internal(std::uint32_t delayMs = 2000);
  std::string GetCacheSize_Internal(std::uint32_t delayMs = 1000);
  std::size_t SweepOrphans(double minAgeDays = -1);

  // Size text of a byte count ("4.88 KB"); "." as the decimal separator.
  static std::string FormatCacheSize(std::uint64_t bytes);

  // Tests: the clock (TDateTime, local) and the lock time-out.
  void SetClock(Clock clock);
  void SetLockTimeout(std::uint32_t ms) { fLockTimeoutMs = ms; }
  // Tests: the program path recorded in Users (defaults to the executable).
  void SetProgramPath(std::string path) { fProgramPath = std::move(path); }
  // Debounce of the save after new entries, in ms (0: save after every write).
  void SetSaveDelay(std::uint32_t ms) { fSaveDelayMs = ms; }

  platform::TDateTime NowTime() const;

 private:
  friend class TCacheStream;
  struct Task {
    TLongThreadTask task;
    SizeCallback callback;
    double arg = -1;
  };

  // Table access, all under fTableLock.
  TCachedFile* FindEntry(const std::string& code);
  void DropEntry(const std::string& code, bool deleteFile);
  void EntryWritten();
  std::string FolderFile(const std::string& name) const { return fQDSFolder + name; }

  // Reads "TOC.dat" (or the fallback) into doc; false when neither parses.
  bool ReadTOCDocument(pugi::xml_document& doc, bool& existed);
  bool WriteTOCDocument(const pugi::xml_document& doc);
  pugi::xml_node FindHostNode(pugi::xml_node version);
  int ProgramUsesCacheVersion(pugi::xml_node version, const std::string& exe,
                              TCacheVersionAction action);
  // `now` is the clock's reading taken once for the whole table.
  bool TryCreateFrom(pugi::xml_node node, platform::TDateTime now, std::string& code,
                     std::unique_ptr<TCachedFile>& out);
  void ReadSpecs(pugi::xml_node node, TSpecsNode& into);
  void WriteSpecs(pugi::xml_node node, const TSpecsNode& from);

  void AddTask(Task task);
  void AddTaskLocked(Task task);  // fQueueLock held
  bool Pause(std::uint32_t ms);   // false when terminating
  bool CommitEntry(const std::string& code, const std::string& data, bool useCompression,
                   double ttlDays);
  void ThreadMain();

  platform::NamedMutex MH;
  std::string fQDSFolder;
  std::string fHost;
  std::string fProgramPath;
  std::atomic<bool> fIsBroken{false};
  std::uint32_t fLockTimeoutMs = 10000;
  std::uint32_t fSaveDelayMs = 1000;

  mutable std::recursive_mutex fTableLock;
  bool fLoaded = false;
  // Key (case-folded) -> (original key, entry).
  std::map<std::string, std::pair<std::string, std::unique_ptr<TCachedFile>>> fTOC;
  TSpecsNode fSpecs;
  bool fDirty = false;
  std::chrono::steady_clock::time_point fLastSave{};
  Clock fClock;

  std::mutex fQueueLock;
  std::condition_variable fQueueCv;
  std::vector<Task> fJobs;  // head first
  bool fBusy = false;
  bool fSavePending = false;
  bool fTerminate = false;
  std::thread fThread;
  std::string fLastSize;
};

// Uninstaller entry: cleans the default cache folder, keeping what other
// installations still use.
extern "C" void CleanQDSCache();

}  // namespace tarvo
