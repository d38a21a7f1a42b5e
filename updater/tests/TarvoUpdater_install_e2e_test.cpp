// The real TarvoUpdater program backing up, installing, undoing and rolling
// back in a sandboxed installation, and recording the product's version.
// File faults are injected into the program through its test hook
// TARVO_UPDATER_FAULTS ("pattern|op|code|count"; op numbers of
// platform::FileOp): the tests run as any user, root included, so denied
// permissions alone cannot make a copy fail.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Text.h"
#include "platform/system/Process.h"
#include "platform/system/Registry.h"
#include "updater/tests/UpdaterRun.h"

namespace pf = tarvo::platform;
namespace fs = std::filesystem;

namespace {

constexpr int kOpCreate = static_cast<int>(pf::FileOp::Create);
constexpr int kOpCopy = static_cast<int>(pf::FileOp::Copy);

constexpr const char* kUninstall = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// Every file under a folder: its relative path, its bytes and its permission bits.
using Snapshot = std::map<std::string, std::pair<std::string, unsigned>>;

Snapshot Take(const std::string& folder) {
  Snapshot out;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (!e.is_regular_file()) continue;
    const std::string path = e.path().string();
    out[path.substr(folder.size())] = {pf::ReadFileBytes(path).value_or("<unreadable>"),
                                       static_cast<unsigned>(e.status().permissions()) & 07777};
  }
  return out;
}

unsigned Mode(const std::string& path) {
  return static_cast<unsigned>(fs::status(path).permissions()) & 07777;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

const std::string kSoftFailure =
    "\"TARVO Trade \" updating failed: some of new files could not be copied, update was rolled "
    "back.\r\n\r\nTry to install this update later by running Orvanta Update with "
    "administrative privileges.";

class InstallRun : public tarvo::updater::testing::UpdaterRun {
 protected:
  void SetUp() override {
    UpdaterRun::SetUp();
    if (HasFatalFailure()) return;
    // The installed version: a.dll, a read-only ro.dll, a program gone.bin
    // the update deletes, b.dll.
    Write(install + "a.dll", "old a", 0644);
    Write(install + "ro.dll", "old ro", 0444);
    Write(install + "gone.bin", "old gone", 0755);
    Write(install + "b.dll", "old b", 0644);
    // The downloaded update: new contents, a new program in a new folder,
    // and a new version.
    update = data + "Update/";
    Write(update + "a.dll", "new a", 0644);
    Write(update + "ro.dll", "new ro", 0644);
    Write(update + "b.dll", "new b", 0644);
    Write(update + "sub/dir/new.bin", "new program", 0755);
    Stamp(update + "tvVersion.pkgx", {"--company", "Orvanta", "--file-version", "5.3.0.1"});
    List("Update", "\"" + install +
                       "TarvoTrade.exe\" \r\nU a.dll\r\nU ro.dll\r\nD gone.bin\r\n"
                       "U sub/dir/new.bin\r\nD never.dll\r\nU tvVersion.pkgx\r\nU b.dll\r\n");
    before = Take(install);
  }

  void Write(const std::string& path, const std::string& bytes, unsigned mode) {
    ASSERT_TRUE(pf::ForceDirectories(pf::ExtractFilePath(path)));
    ASSERT_TRUE(pf::WriteFileAtomic(path, bytes, mode)) << path;
  }

  void Faults(const std::string& rules) { box.SetEnv("TARVO_UPDATER_FAULTS", rules); }

  void Register(pf::RegRoot root, const std::string& name, const std::string& location) {
    auto key = pf::RegistryKey::Create(root, std::string(kUninstall) + name);
    ASSERT_TRUE(key);
    key->WriteString("InstallLocation", location);
    key->WriteString("DisplayVersion", "5.2.0.17");
  }
  std::string Version(pf::RegRoot root, const std::string& name) {
    auto key = pf::RegistryKey::Open(root, std::string(kUninstall) + name);
    return key ? key->ReadString("DisplayVersion").value_or("") : "<no key>";
  }

  std::string update;
  Snapshot before;
};

}  // namespace

TEST_F(InstallRun, UpdateThenRollbackEndsWhereItStarted) {
  Register(pf::RegRoot::CurrentUser, "Tarvo Trade", install);
  Script("IDOK\n");
  ASSERT_EQ(Run(), 0u);

  Snapshot after = Take(install);
  EXPECT_EQ(after["a.dll"], (std::pair<std::string, unsigned>{"new a", 0644}));
  EXPECT_EQ(after["ro.dll"], (std::pair<std::string, unsigned>{"new ro", 0644}));
  EXPECT_EQ(after["sub/dir/new.bin"], (std::pair<std::string, unsigned>{"new program", 0755}));
  EXPECT_FALSE(after.contains("gone.bin"));
  // The backup keeps the bits of what it saved.
  EXPECT_EQ(Mode(data + "Rollback/gone.bin"), 0755u);
  EXPECT_EQ(Mode(data + "Rollback/ro.dll"), 0444u);
  EXPECT_EQ(box.ReadFile("common/TARVO/Trade/Rollback/FileList.$$$"),
            "\"" + install +
                "TarvoTrade.exe\" \r\nU a.dll\r\nU ro.dll\r\nU gone.bin\r\n"
                "D sub/dir/new.bin\r\nD never.dll\r\nU tvVersion.pkgx\r\nU b.dll\r\n");
  EXPECT_TRUE(Take(update).empty());  // the update's files and list are gone
  EXPECT_EQ(Version(pf::RegRoot::CurrentUser, "Tarvo Trade"), "5.3.0.1");
  EXPECT_EQ(box.ReadFile("common/TARVO/Trade/whatsnew.txt"), install + "TarvoTrade.exe\r\n");

  Script("IDYES\nIDOK\n");
  ASSERT_EQ(Run("-rollback"), 0u);
  EXPECT_EQ(Take(install), before);
  EXPECT_FALSE(pf::FileExists(data + "Rollback/FileList.$$$"));  // a second rollback finds none
  EXPECT_TRUE(pf::FileExists(data + "Update/a.dll"));            // what the rollback replaced
  EXPECT_EQ(Version(pf::RegRoot::CurrentUser, "Tarvo Trade"), "5.2.0.17");
  EXPECT_FALSE(pf::FileExists(data + "whatsnew.txt"));

  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text,
            "\"TARVO Trade \" successfully updated. Please start the program manually.");
  EXPECT_EQ(boxes[0].flags, "0x10040");
  EXPECT_NE(boxes[0].owner, "0");
  EXPECT_EQ(boxes[2].text, "Previous version of \"TARVO Trade \" successfully restored.");

  const std::string log = LogText();
  for (const std::string& line : std::vector<std::string>{
           "Backup(FileList, \"" + install + "\", \"" + data + "Rollback/\") begin",
           "Backuping file \"" + install + "a.dll\" -> \"" + data + "Rollback/a.dll\"",
           "File \"" + install + "sub/dir/new.bin\" does not exist, skipped", "Backup() exit: 1",
           "InstallFiles(FileList, \"" + data + "Update/\", \"" + install + "\") begin",
           "Copying file \"" + data + "Update/a.dll\" -> \"" + install + "a.dll\"",
           "Deleting file \"" + install + "gone.bin\"", "InstallFiles() exit: 1",
           "UpdateVersionInfo(HKEY_CURRENT_USER) found product in registry Tarvo Trade",
           "UpdateVersionInfo(HKEY_CURRENT_USER) set product version in registry to 5.3.0.1",
           "Backup file-list saved into \"" + data + "Rollback/FileList.$$$\":\r\n\"" + install,
           "CleanupFolder(\"" + data + "Update/\") begin",
           "Deleting file \"" + data + "Update/FileList.$$$\": 0",
           "Folder \"" + data + "Update/sub/dir\" cleaned", "CleanupFolder() exit"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(InstallRun, WhatsNewHoldsTheProgramOnceAfterTwoUpdates) {
  box.WriteFile("common/TARVO/Trade/whatsnew.txt", "/opt/other/Other.exe\r\n");
  Script("IDOK\n");
  ASSERT_EQ(Run(), 0u);
  Write(update + "a.dll", "newer a", 0644);
  List("Update", "\"" + install + "TarvoTrade.exe\" \r\nU a.dll\r\n");
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(box.ReadFile("install/a.dll"), "newer a");
  EXPECT_EQ(box.ReadFile("common/TARVO/Trade/whatsnew.txt"),
            "/opt/other/Other.exe\r\n" + install + "TarvoTrade.exe\r\n");
}

// The failing paths: which box answers, what the program folder and the two
// data folders hold afterwards.
TEST_F(InstallRun, CancelOnTheFirstEntryChangesNothing) {
  Faults("*/install/a.dll|" + std::to_string(kOpCopy) + "|5|-1");
  Script("IDCANCEL\nIDOK\n");
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(Take(install), before);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text,
            "Error updating \"TARVO Trade \".\r\n\r\nFailed to create file \"" + install +
                "a.dll\".\r\nError 5: Access is denied.\r\n\r\nPerhaps you don't have write "
                "permissions for specified folder.\r\nRun \"Update TARVO Trade \" utility with "
                "administrative privileges or ask your system administrator for assistance.");
  EXPECT_EQ(boxes[0].flags, "0x10035");  // warning, Retry/Cancel
  EXPECT_EQ(boxes[1].text, kSoftFailure);
  EXPECT_TRUE(pf::FileExists(data + "Update/FileList.$$$"));  // can be tried again
  EXPECT_TRUE(Take(data + "Rollback/").empty());
  EXPECT_NE(LogText().find("Rollback() exit: 1"), std::string::npos);
}

TEST_F(InstallRun, CancelAfterAppliedEntriesUndoesThem) {
  struct Case {
    const char* name;
    int code;
    const char* hint;
  } cases[] = {
      {"locked", 32, "\r\n\r\nClose all programs and try again."},
      {"disk full", 112, "\r\n\r\nFree some space on disk /: and try again."},
      {"other", 87, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pf::DeleteFile(box.Path("record.txt"));
    Faults("*/install/b.dll|" + std::to_string(kOpCopy) + "|" + std::to_string(c.code) + "|-1");
    Script("IDCANCEL\nIDOK\n");
    ASSERT_EQ(Run(), 0u);
    EXPECT_EQ(Take(install), before);  // new.bin removed, gone.bin and the rest restored
    const auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(boxes[0].text.ends_with(".\r\nError " + std::to_string(c.code) + ": " +
                                        pf::SysErrorMessage(c.code) + "." + c.hint))
        << boxes[0].text;
    EXPECT_EQ(boxes[1].text, kSoftFailure);
    EXPECT_TRUE(Take(data + "Rollback/").empty());
    EXPECT_TRUE(pf::FileExists(data + "Update/FileList.$$$"));
  }
  const std::string log = LogText();
  EXPECT_NE(log.find("Rolling back file \"" + install + "sub/dir/new.bin\", DELETE"),
            std::string::npos);
  EXPECT_NE(log.find("Rolling back file \"" + install + "never.dll\", DELETE"), std::string::npos);
  EXPECT_NE(log.find("Rolling back file \"" + data + "Rollback/gone.bin\" -> \"" + install +
                     "gone.bin\""),
            std::string::npos);
}

TEST_F(InstallRun, RetryAfterTheFaultClearsRepeatsOnlyThatEntry) {
  Faults("*/install/b.dll|" + std::to_string(kOpCopy) + "|32|1");
  Script("IDRETRY\nIDOK\n");
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(box.ReadFile("install/b.dll"), "new b");
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].result, "IDRETRY");
  EXPECT_EQ(boxes[1].text.rfind("\"TARVO Trade \" successfully updated", 0), 0u);
  const std::string log = LogText();
  EXPECT_EQ(Count(log, "Copying file \"" + update + "a.dll\""), 1u);
  EXPECT_EQ(Count(log, "Copying file \"" + update + "b.dll\""), 1u);  // logged once, tried twice
  EXPECT_TRUE(pf::FileExists(data + "Rollback/FileList.$$$"));
}

TEST_F(InstallRun, AFailedUndoKeepsTheBackup) {
  Faults("*/install/b.dll|" + std::to_string(kOpCopy) + "|32|-1;*/Rollback/a.dll|" +
         std::to_string(kOpCopy) + "|5|-1");
  Script("IDCANCEL\nIDOK\n");
  ASSERT_EQ(Run(), 0u);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text,
            "\"TARVO Trade \" updating failed: some of new files could not be copied, update "
            "could not be rolled back.\r\n\r\nWARNING: application state is inconsistent!\r\n"
            "RE-INSTALL \"TARVO Trade \".");
  // The only copies of the old files stay; the update's files are gone.
  EXPECT_EQ(box.ReadFile("common/TARVO/Trade/Rollback/a.dll"), "old a");
  EXPECT_EQ(box.ReadFile("common/TARVO/Trade/Rollback/gone.bin"), "old gone");
  EXPECT_TRUE(Take(update).empty());
  const std::string log = LogText();
  EXPECT_NE(log.find("Error 5: Access is denied"), std::string::npos);
  EXPECT_NE(log.find("Rollback() exit: 0"), std::string::npos);
  EXPECT_NE(log.find("The saved files are kept in \"" + data + "Rollback/\""), std::string::npos);
}

TEST_F(InstallRun, AMissingSourceFileFailsWithoutRetry) {
  ASSERT_TRUE(pf::DeleteFile(update + "b.dll"));
  Script("IDOK\nIDOK\n");
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(Take(install), before);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "Error updating \"TARVO Trade \".\r\n\r\nSource file \"" + update +
                               "b.dll\" not found.");
  EXPECT_EQ(boxes[0].flags, "0x10030");
  EXPECT_EQ(boxes[1].text, kSoftFailure);
}

TEST_F(InstallRun, ABackupRefusedWithNoTouchesNothing) {
  Faults("*/Rollback/ro.dll|" + std::to_string(kOpCreate) + "|112|-1");
  Script("IDNO\nIDOK\n");
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(Take(install), before);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text,
            "Failed to backup current application version.\r\nIn case of error you won't be able "
            "to restore it. Continue anyway?\r\n\r\nCan't backup file \"" +
                install + "ro.dll\".\r\nError 112: " + pf::SysErrorMessage(112) + ".");
  EXPECT_EQ(boxes[0].flags, "0x10034");  // warning, Yes/No
  EXPECT_EQ(boxes[1].text, kSoftFailure);
  EXPECT_EQ(box.ReadFile("common/TARVO/Trade/Rollback/a.dll"), "old a");  // copies made so far
  const std::string log = LogText();
  EXPECT_NE(log.find("Backup() exit: 0"), std::string::npos);
  EXPECT_EQ(log.find("InstallFiles("), std::string::npos);
}

// After Yes the backup is incomplete: a rollback list would mark the files it
// never saved for deletion, so none is written.
TEST_F(InstallRun, ABackupAcceptedWithYesWritesNoRollbackList) {
  Faults("*/Rollback/ro.dll|" + std::to_string(kOpCreate) + "|112|-1");
  Script("IDYES\nIDOK\n");
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(box.ReadFile("install/b.dll"), "new b");
  EXPECT_FALSE(pf::FileExists(data + "Rollback/FileList.$$$"));
  EXPECT_NE(LogText().find("Error saving backup file-list: the backup is incomplete"),
            std::string::npos);
  Script("IDOK\n");
  pf::DeleteFile(box.Path("record.txt"));
  ASSERT_EQ(Run("-rollback"), 0u);
  EXPECT_EQ(box.ReadFile("install/b.dll"), "new b");  // nothing to roll back with
  EXPECT_EQ(Boxes().at(0).text.rfind("No restore information found", 0), 0u);
}

// --- the product record ----------------------------------------------------------------

TEST_F(InstallRun, OnlyTheCurrentUsersRecordChangesWhenBothHaveIt) {
  Register(pf::RegRoot::CurrentUser, "Tarvo", install);
  Register(pf::RegRoot::LocalMachine, "Tarvo", install);
  Register(pf::RegRoot::CurrentUser, "NoSeparator", pf::ExcludeTrailingPathDelimiter(install));
  Script("IDOK\n");
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(Version(pf::RegRoot::CurrentUser, "Tarvo"), "5.3.0.1");
  EXPECT_EQ(Version(pf::RegRoot::CurrentUser, "NoSeparator"), "5.2.0.17");
  EXPECT_EQ(Version(pf::RegRoot::LocalMachine, "Tarvo"), "5.2.0.17");
  EXPECT_EQ(Boxes().size(), 1u);
}

TEST_F(InstallRun, AMachineRecordIsWrittenDirectlyWhenItCanBe) {
  Register(pf::RegRoot::LocalMachine, "Tarvo", install);
  Script("IDOK\n");
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(Version(pf::RegRoot::LocalMachine, "Tarvo"), "5.3.0.1");
  const std::string log = LogText();
  EXPECT_NE(log.find("UpdateVersionInfo(HKEY_CURRENT_USER) didn't find product in registry"),
            std::string::npos);
  EXPECT_NE(log.find("UpdateVersionInfo(HKEY_LOCAL_MACHINE) set product version in registry to "
                     "5.3.0.1"),
            std::string::npos);
}

// A machine record this process cannot write (its key's lock is taken by a
// folder of that name): the elevated copy is asked for. The "elevation"
// helper stands in for pkexec: it records its arguments and frees the key, as
// administrator rights would, unless told not to.
TEST_F(InstallRun, AMachineRecordNeedsTheElevatedCopy) {
  const std::string helper =
      box.WriteFile("pkexec.sh",
                    "#!/bin/sh\n"
                    "echo \"$@\" >> \"$TARVO_TEST_ELEVATED\"\n"
                    "[ -n \"$TARVO_TEST_FREE\" ] && rmdir \"$TARVO_TEST_FREE\"\n"
                    "exec \"$@\"\n");
  fs::permissions(helper, static_cast<fs::perms>(0755));
  box.SetEnv("TARVO_PKEXEC", helper);
  const std::string elevated = box.Path("elevated.txt");
  box.SetEnv("TARVO_TEST_ELEVATED", elevated);

  struct Case {
    const char* name;
    const char* answer;   // to the ElevationNeeded box
    const char* consent;  // TARVO_ELEVATION_CONSENT, nullptr: the helper answers
    bool freed;           // the elevated copy can write
    bool started;
    const char* version;
    const char* outcome;
  } cases[] = {
      {"consented", "IDYES", nullptr, true, true, "5.3.0.1",
       "UpdateVersionInfo(HKEY_LOCAL_MACHINE) set product version in registry to 5.3.0.1"},
      {"elevated copy fails", "IDYES", nullptr, false, true, "5.2.0.17",
       "UpdateVersionInfo(HKEY_LOCAL_MACHINE) failed to update registry\r\n"},
      {"prompt refused", "IDYES", "refuse", true, false, "5.2.0.17",
       "UpdateVersionInfo(HKEY_LOCAL_MACHINE) failed to update registry\r\n"},
      {"box answered No", "IDNO", nullptr, true, false, "5.2.0.17", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pf::DeleteFile(box.Path("record.txt"));
    pf::DeleteFile(data + "update.log");
    pf::DeleteFile(elevated);
    Register(pf::RegRoot::LocalMachine, "Tarvo", install);
    std::string keyFolder;
    for (const auto& e : fs::recursive_directory_iterator(box.Path("registry/HKLM")))
      if (e.is_directory() && e.path().filename() == "Tarvo") keyFolder = e.path().string();
    ASSERT_FALSE(keyFolder.empty());
    fs::remove(keyFolder + "/.lock");
    ASSERT_TRUE(fs::create_directory(keyFolder + "/.lock"));
    box.SetEnv("TARVO_TEST_FREE",
               c.freed ? std::optional<std::string>(keyFolder + "/.lock") : std::nullopt);
    box.SetEnv("TARVO_ELEVATION_CONSENT",
               c.consent ? std::optional<std::string>(c.consent) : std::nullopt);
    ASSERT_TRUE(pf::CopyFile(update + "tvVersion.pkgx", box.Path("keep.pkgx")));
    Script(std::string(c.answer) + "\nIDOK\n");
    ASSERT_EQ(Run(), 0u);
    fs::remove(keyFolder + "/.lock");

    const auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text,
              "Not enough permissions to modify system registry.\r\nRun \"Update TARVO Trade \" "
              "utility with administrative privileges?");
    EXPECT_EQ(boxes[0].flags, "0x10024");
    EXPECT_EQ(boxes[0].shield, "6");
    EXPECT_EQ(boxes[1].text.rfind("\"TARVO Trade \" successfully updated", 0), 0u);
    EXPECT_EQ(Version(pf::RegRoot::LocalMachine, "Tarvo"), c.version);
    const auto args = box.ReadFile("elevated.txt");
    EXPECT_EQ(args.has_value(), c.started);
    if (args) {
      EXPECT_TRUE(args->ends_with(install + "TarvoUpdater -elevated -updatereg Tarvo\n")) << *args;
    }
    const std::string log = LogText();
    EXPECT_NE(log.find("UpdateVersionInfo(HKEY_LOCAL_MACHINE) failed to update registry: "),
              std::string::npos);
    if (c.outcome) {
      EXPECT_NE(log.find(c.outcome), std::string::npos);
    }

    // The next round updates again from the same files.
    Write(update + "a.dll", "new a", 0644);
    ASSERT_TRUE(pf::CopyFile(box.Path("keep.pkgx"), update + "tvVersion.pkgx"));
    List("Update", "\"" + install + "TarvoTrade.exe\" \r\nU tvVersion.pkgx\r\nU a.dll\r\n");
    Write(install + "tvVersion.pkgx", "no version", 0644);
  }
}

TEST_F(InstallRun, AnInstallLocationThatIsNoStringEndsTheSearch) {
  auto key = pf::RegistryKey::Create(pf::RegRoot::CurrentUser, std::string(kUninstall) + "Odd");
  ASSERT_TRUE(key);
  key->WriteDWord("InstallLocation", 7);
  Register(pf::RegRoot::CurrentUser, "Tarvo", install);  // after "Odd": never reached
  Script("IDOK\n");
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(Version(pf::RegRoot::CurrentUser, "Tarvo"), "5.2.0.17");
  EXPECT_NE(LogText().find("UpdateVersionInfo(HKEY_CURRENT_USER) failed to find product in "
                           "registry: Invalid data type for 'InstallLocation'"),
            std::string::npos);
}

// --- the launch ----------------------------------------------------------------------

class LaunchRun : public InstallRun {
 protected:
  void SetUp() override {
    InstallRun::SetUp();
    if (HasFatalFailure()) return;
    // The terminal: a script that records its arguments, stamped as the product.
    Write(install + "TarvoTrade.exe",
          "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$TARVO_TEST_LAUNCHED\"\nexit 0\n", 0755);
    Stamp(install + "TarvoTrade.exe", {"--company", "Orvanta", "--internal-name", "TARVOTRADE",
                                       "--product-name", "TARVO Trade"});
    box.SetEnv("TARVO_TEST_LAUNCHED", box.Path("launched.txt"));
    List("Update", "\"" + install +
                       "TarvoTrade.exe\" -restart \"a b\"\r\nU a.dll\r\nU b.dll\r\n"
                       "U tvVersion.pkgx\r\n");
    Register(pf::RegRoot::CurrentUser, "Tarvo", install);
    before = Take(install);
  }
};

TEST_F(LaunchRun, NonElevatedStartsTheTerminalAgain) {
  Script("");
  ASSERT_EQ(Run("-nonelevated"), 0u);
  std::optional<std::string> args;
  for (int i = 0; i < 500 && !(args = box.ReadFile("launched.txt")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(args, "-restart\na b\n");
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(box.ReadFile("install/a.dll"), "new a");
  EXPECT_NE(LogText().find("Launched \"" + install + "TarvoTrade.exe\" -restart \"a b\""),
            std::string::npos);
}

TEST_F(LaunchRun, ALaunchFailureUndoesTheUpdateAndItsRecords) {
  fs::permissions(install + "TarvoTrade.exe", static_cast<fs::perms>(0644));
  before = Take(install);
  box.WriteFile("common/TARVO/Trade/whatsnew.txt", "/opt/other/Other.exe\r\n");
  Script("IDOK\nIDOK\n");
  ASSERT_EQ(Run("-nonelevated"), 0u);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text,
            "Failed to launch TARVO Trade .\r\n\r\nError 5: Access is denied.\r\n\"" + install +
                "TarvoTrade.exe\"");
  EXPECT_EQ(boxes[0].flags, "0x10030");
  EXPECT_EQ(boxes[1].text, kSoftFailure);
  EXPECT_EQ(Take(install), before);
  EXPECT_EQ(Version(pf::RegRoot::CurrentUser, "Tarvo"), "5.2.0.17");
  EXPECT_EQ(box.ReadFile("common/TARVO/Trade/whatsnew.txt"), "/opt/other/Other.exe\r\n");
  EXPECT_TRUE(pf::FileExists(data + "Update/FileList.$$$"));
}

TEST_F(InstallRun, UpdateRegModeWritesTheMachineRecordAndTellsByExitCode) {
  Script("IDOK");
  // No record: the write fails, and the parent must see it.
  EXPECT_EQ(Run("-updatereg \"{Tarvo Trade}\" -elevated"), 1u);
  Register(pf::RegRoot::LocalMachine, "{Tarvo Trade}", install);
  EXPECT_EQ(Run("-updatereg \"{Tarvo Trade}\" -elevated"), 0u);
  EXPECT_EQ(Version(pf::RegRoot::LocalMachine, "{Tarvo Trade}"), "5.2.0.17");
  Write(install + "tvVersion.pkgx", "x", 0644);
  ASSERT_TRUE(pf::CopyFile(update + "tvVersion.pkgx", install + "tvVersion.pkgx"));
  EXPECT_EQ(Run("-updatereg \"{Tarvo Trade}\" -elevated"), 0u);
  EXPECT_EQ(Version(pf::RegRoot::LocalMachine, "{Tarvo Trade}"), "5.3.0.1");
  EXPECT_TRUE(Boxes().empty());
  EXPECT_FALSE(pf::FileExists(data + "update.log"));
}

// --- one run at a time, and runs that die ------------------------------------------------

// The first updater holds the data folder while it waits for the terminal (a
// helper holding the product's mutex) to end; the second one, started
// meanwhile, must not touch anything.
TEST_F(InstallRun, TwoUpdatersOnOneDataFolderRunOneAfterTheOther) {
  const std::string ready = box.Path("ready");
  auto terminal = pf::LaunchProcess({tarvo::testing::BinaryPath("updater_test_helper"),
                                     "mutex-hold " + pf::QuoteArgument("TARVO Trade _Mtx") + " " +
                                         pf::QuoteArgument(ready) + " 2500",
                                     "", false});
  ASSERT_TRUE(terminal);
  for (int i = 0; i < 500 && !pf::FileExists(ready); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(pf::FileExists(ready));
  Script("IDOK\nIDOK\n");
  auto first = pf::LaunchProcess({install + "TarvoUpdater", "", "", false});
  ASSERT_TRUE(first);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Run(), 0u);  // the second one ends at once
  EXPECT_EQ(box.ReadFile("install/a.dll"), "old a");
  EXPECT_EQ(first->Wait(60000), pf::WaitResult::Signaled);
  terminal->Wait(10000);
  EXPECT_EQ(box.ReadFile("install/a.dll"), "new a");
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text,
            "An update of \"TARVO Trade \" is already running.\r\n\r\nWait until it ends.");
  EXPECT_EQ(boxes[1].text.rfind("\"TARVO Trade \" successfully updated", 0), 0u);
  EXPECT_EQ(Count(LogText(), "StartUpdate() begin"), 1u);
}

// A ten-entry update killed after each of its file operations in turn: the
// next start undoes what the dead run left, then runs the update again, so
// that the program folder always ends as the old or the new set.
TEST_F(InstallRun, AnUpdateKilledAtAnyStepIsUndoneAtTheNextStart) {
  const Snapshot original = before;
  // The update applied without a crash gives the new set.
  Script("IDOK\n");
  ASSERT_EQ(Run(), 0u);
  const Snapshot updated = Take(install);
  ASSERT_NE(updated, original);
  const std::string listText = "\"" + install +
                               "TarvoTrade.exe\" \r\nU a.dll\r\nU ro.dll\r\n"
                               "D gone.bin\r\nU sub/dir/new.bin\r\nD never.dll\r\n"
                               "U tvVersion.pkgx\r\nU b.dll\r\nU c.dll\r\nU d.dll\r\nD e.dll\r\n";
  const std::string store = box.MakeDir("store") + "/";

  // Puts back the old program folder and the downloaded update.
  auto reset = [&] {
    fs::remove_all(install + "sub");
    for (const char* name : {"sub/dir/new.bin", "c.dll", "d.dll", "e.dll"})
      pf::DeleteFile(install + name);
    for (const auto& [path, file] : original) Write(install + path, file.first, file.second);
    Write(install + "e.dll", "old e", 0600);
    fs::remove_all(data + "Rollback");
    fs::remove_all(update);
    Write(update + "a.dll", "new a", 0644);
    Write(update + "ro.dll", "new ro", 0644);
    Write(update + "b.dll", "new b", 0644);
    Write(update + "c.dll", "new c", 0644);
    Write(update + "d.dll", "new d", 0755);
    Write(update + "sub/dir/new.bin", "new program", 0755);
    ASSERT_TRUE(pf::CopyFile(install + "tvVersion.pkgx", store + "old-version"));
    List("Update", listText);
  };
  reset();
  ASSERT_TRUE(pf::CopyFile(install + "tvVersion.pkgx", update + "tvVersion.pkgx"));
  const Snapshot oldSet = Take(install);
  Script("IDOK\n");
  ASSERT_EQ(Run(), 0u);
  const Snapshot newSet = Take(install);
  ASSERT_NE(oldSet, newSet);

  bool sawUndo = false;
  int kills = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE("killed after file operation " + std::to_string(n));
    reset();
    ASSERT_TRUE(pf::CopyFile(store + "old-version", update + "tvVersion.pkgx"));
    pf::DeleteFile(box.Path("record.txt"));
    box.SetEnv("TARVO_UPDATER_KILL_AFTER", std::to_string(n));
    Script("IDOK\n");
    const std::uint32_t code = Run();
    box.SetEnv("TARVO_UPDATER_KILL_AFTER", std::nullopt);
    if (code == 0) break;  // fewer operations than n: the sweep is done
    ASSERT_EQ(code, 128u + 9u);
    ASSERT_LT(n, 60);
    ++kills;
    Script("IDOK\nIDOK\nIDOK\n");
    ASSERT_EQ(Run(), 0u);
    const Snapshot now = Take(install);
    EXPECT_TRUE(now == oldSet || now == newSet);
    EXPECT_FALSE(pf::FileExists(data + "Journal.$$$"));
    if (LogText().find("Interrupted run undone") != std::string::npos) sawUndo = true;
  }
  EXPECT_TRUE(sawUndo);
  EXPECT_EQ(kills, 6 + 10);  // the six backup copies, then each of the ten entries
}

// Cleaning the update folder removes a link that points out of it, never what
// it points to; a file of several copy blocks is saved whole.
TEST_F(InstallRun, CleanupRemovesLinksWithoutFollowingThem) {
  const std::string outside = box.MakeDir("outside") + "/";
  Write(outside + "keep.txt", "not the updater's", 0644);
  fs::create_directory_symlink(outside, update + "link");
  std::string big(5 * 1024 * 1024 / 2 + 7, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  Write(install + "big.dat", big, 0640);
  Write(update + "big.dat", "small", 0644);
  List("Update", "\"" + install + "TarvoTrade.exe\" \r\nU big.dat\r\n");
  Script("IDOK\n");
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(box.ReadFile("install/big.dat"), "small");
  EXPECT_EQ(box.ReadFile("common/TARVO/Trade/Rollback/big.dat"), big);
  EXPECT_EQ(Mode(data + "Rollback/big.dat"), 0640u);
  EXPECT_EQ(box.ReadFile("outside/keep.txt"), "not the updater's");
  EXPECT_FALSE(fs::exists(fs::symlink_status(update + "link")));
}

// The journal lies in a folder every user may write to: one that names
// another folder or climbs out is void, and undoes nothing.
TEST_F(InstallRun, AForeignOrDamagedJournalUndoesNothing) {
  const std::string victim = box.MakeDir("victim") + "/";
  const std::string journals[] = {
      "TarvoUpdater journal 1\nE " + victim + "\nB " + data + "Rollback/\nD a.dll\n",
      "TarvoUpdater journal 1\nE " + install + "\nB " + victim + "\nU a.dll\n",
      "TarvoUpdater journal 1\nE " + install + "\nB " + data + "Rollback/\nD ../victim/a.dll\n",
      "TarvoUpdater journal 1\nE " + install + "\n",
      "garbage",
  };
  for (const auto& journal : journals) {
    SCOPED_TRACE(journal);
    Write(victim + "a.dll", "victim", 0644);
    box.WriteFile("common/TARVO/Trade/Journal.$$$", journal);
    Script("IDOK\n");
    pf::DeleteFile(box.Path("record.txt"));
    List("Update", "\"" + install + "TarvoTrade.exe\" \r\nD never.dll\r\n");
    ASSERT_EQ(Run(), 0u);
    EXPECT_EQ(box.ReadFile("victim/a.dll"), "victim");
    EXPECT_EQ(box.ReadFile("install/a.dll"), "old a");
    EXPECT_FALSE(pf::FileExists(data + "Journal.$$$"));
    EXPECT_EQ(Boxes().size(), 1u);  // the update's own box only
  }
  EXPECT_NE(LogText().find("The journal is damaged or not this program's"), std::string::npos);
}
