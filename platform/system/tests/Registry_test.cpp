#include "platform/system/Registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Paths.h"
#include "platform/system/Process.h"
#include "testing/Sandbox.h"
#include "testing/Unprivileged.h"

using namespace tarvo::platform;
using tarvo::testing::Sandbox;

namespace {

const char* const kUninstall = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvo";

std::vector<std::uint8_t> Bytes(std::initializer_list<int> v) {
  return std::vector<std::uint8_t>(v.begin(), v.end());
}

// The value file of a key, found on disk the way the registry lays it out.
std::string ValuesFileOf(const std::string& root, const std::string& relFolder) {
  return root + "/" + relFolder + "/.values";
}

}  // namespace

TEST(Registry, TypedValuesRoundTripThroughAFreshOpen) {
  Sandbox box;
  {
    bool created = false;
    auto key = RegistryKey::Create(RegRoot::CurrentUser, kUninstall, &created);
    ASSERT_TRUE(key) << GetLastError();
    EXPECT_TRUE(created);
    key->WriteString("DisplayVersion", "4.12.0 — Тарво");
    key->WriteDWord("Count", 0xFFFFFFFEu);
    key->WriteBinary("TimeWarnExpiredCert", Bytes({0x00, 0xFF, 0x1E, 0x00}));
    key->WriteBinary("Empty", {});
    key->WriteExpandString("Path", "%HOME%/x");
    key->WriteString("", "default value");
  }
  auto key = RegistryKey::Open(RegRoot::CurrentUser, kUninstall);
  ASSERT_TRUE(key);
  EXPECT_FALSE(key->Writable());
  EXPECT_EQ(key->ReadString("DisplayVersion"), "4.12.0 — Тарво");
  EXPECT_EQ(key->ReadDWord("Count"), 0xFFFFFFFEu);
  EXPECT_EQ(key->ReadBinary("TimeWarnExpiredCert"), Bytes({0x00, 0xFF, 0x1E, 0x00}));
  EXPECT_EQ(key->ReadBinary("Empty"), std::vector<std::uint8_t>{});
  EXPECT_EQ(key->ReadString("Path"), "%HOME%/x");
  EXPECT_EQ(key->ReadString(""), "default value");
  EXPECT_EQ(key->ValueType("Count"), RegValueType::DWord);
  EXPECT_EQ(key->ValueType("Path"), RegValueType::ExpandString);
  EXPECT_EQ(key->ValueType("absent"), RegValueType::None);
  EXPECT_EQ(key->ValueNames(), (std::vector<std::string>{"", "Count", "DisplayVersion", "Empty",
                                                         "Path", "TimeWarnExpiredCert"}));
  // The two roots are separate trees.
  EXPECT_FALSE(RegistryKey::KeyExists(RegRoot::LocalMachine, kUninstall));
}

TEST(Registry, NamesIgnoreCaseAndKeepTheirFirstCase) {
  Sandbox box;
  ASSERT_TRUE(RegistryKey::Create(RegRoot::CurrentUser, "Software\\Vendor\\Профили\\App"));
  bool created = true;
  auto again =
      RegistryKey::Create(RegRoot::CurrentUser, "SOFTWARE\\vendor\\ПРОФИЛИ\\app", &created);
  ASSERT_TRUE(again);
  EXPECT_FALSE(created);
  EXPECT_EQ(again->Path(), "Software\\Vendor\\Профили\\App");

  auto vendor = RegistryKey::Open(RegRoot::CurrentUser, "\\software\\VENDOR\\");
  ASSERT_TRUE(vendor);
  EXPECT_EQ(vendor->SubKeyNames(), std::vector<std::string>{"Профили"});

  again->WriteString("DisplayVersion", "1");
  again->WriteString("DISPLAYVERSION", "2");
  EXPECT_EQ(again->ValueNames(), std::vector<std::string>{"DisplayVersion"});
  EXPECT_EQ(again->ReadString("displayversion"), "2");

  // Subkeys are listed ignoring case, whatever order the folder gives.
  for (const char* name : {"beta", "Alpha", "gamma", ".hidden", "a/b"})
    ASSERT_TRUE(RegistryKey::Create(RegRoot::CurrentUser, std::string("Software\\List\\") + name))
        << name;
  auto list = RegistryKey::Open(RegRoot::CurrentUser, "Software\\List");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->SubKeyNames(),
            (std::vector<std::string>{".hidden", "a/b", "Alpha", "beta", "gamma"}));
}

TEST(Registry, WrongTypeIsAnErrorOfItsOwnAndMissingIsEmpty) {
  Sandbox box;
  auto key = RegistryKey::Create(RegRoot::CurrentUser, "Software\\Types");
  ASSERT_TRUE(key);
  key->WriteDWord("InstallLocation", 7);
  key->WriteString("Name", "x");

  try {
    (void)key->ReadString("InstallLocation");
    FAIL() << "no type error";
  } catch (const RegistryTypeError& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'InstallLocation'");
    EXPECT_EQ(e.ActualType(), RegValueType::DWord);
  }
  EXPECT_THROW((void)key->ReadDWord("Name"), RegistryTypeError);
  EXPECT_THROW((void)key->ReadBinary("Name"), RegistryTypeError);
  EXPECT_EQ(key->ReadString("Missing"), std::nullopt);
  EXPECT_EQ(key->ReadDWord("Missing"), std::nullopt);
}

TEST(Registry, OpeningFailsWithWindowsCodes) {
  Sandbox box;
  ASSERT_TRUE(RegistryKey::Create(RegRoot::CurrentUser, "Software\\Present"));
  struct Case {
    RegRoot root;
    std::string path;
    std::uint32_t code;
  } cases[] = {
      {RegRoot::CurrentUser, "Software\\Absent", ERROR_FILE_NOT_FOUND},
      {RegRoot::LocalMachine, "Software\\Present", ERROR_FILE_NOT_FOUND},  // no HKLM folder yet
      {RegRoot::CurrentUser, "Software\\\\Present", ERROR_INVALID_PARAMETER},
      {RegRoot::CurrentUser, "Software\\" + std::string(256, 'k'), ERROR_FILENAME_EXCED_RANGE},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(RegistryKey::Open(c.root, c.path, RegAccess::Write)) << c.path;
    EXPECT_EQ(GetLastError(), c.code) << c.path;
  }
  // Open for writing never creates.
  EXPECT_FALSE(RegistryKey::KeyExists(RegRoot::CurrentUser, "Software\\Absent"));

  auto readOnly = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Present", RegAccess::Read);
  ASSERT_TRUE(readOnly);
  try {
    readOnly->WriteString("DisplayVersion", "1");
    FAIL() << "a key opened for reading was written";
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.Code(), ERROR_ACCESS_DENIED);
  }
}

// Writing under HKEY_LOCAL_MACHINE needs the rights of its folder: a user who
// cannot write the folder can read the key but neither open it for writing
// nor create keys in it. Run in a child process that, when the tests run as
// root, becomes an unprivileged user first.
TEST(Registry, LocalMachineNeedsTheFolderRights) {
  Sandbox box;
  auto key = RegistryKey::Create(RegRoot::LocalMachine, kUninstall);
  ASSERT_TRUE(key);
  key->WriteString("DisplayVersion", "1.0");
  // Everyone may look; only root may change (when we are not root, nobody).
  const bool root = ::geteuid() == 0;
  for (auto p = std::filesystem::path(RegistryFolderHKLM()); p.string().size() >= box.Root().size();
       p = p.parent_path())
    ::chmod(p.c_str(), root ? 0755 : 0555);
  for (auto& e : std::filesystem::recursive_directory_iterator(RegistryFolderHKLM()))
    ::chmod(e.path().c_str(), e.is_directory() ? (root ? 0755 : 0555) : 0644);

  // 8: the sandbox itself is out of this user's reach (a temporary folder it
  // may not search, say), so no answer below would say anything.
  constexpr int kSandboxClosed = 8;
  const auto run = tarvo::testing::RunAsUnprivileged([&] {
    if (::access(box.Root().c_str(), X_OK) != 0) return kSandboxClosed;
    int result = 0;
    auto reader = RegistryKey::Open(RegRoot::LocalMachine, kUninstall, RegAccess::Read);
    if (!reader || reader->ReadString("DisplayVersion") != "1.0") result |= 1;
    if (RegistryKey::Open(RegRoot::LocalMachine, kUninstall, RegAccess::Write) ||
        GetLastError() != ERROR_ACCESS_DENIED)
      result |= 2;
    if (RegistryKey::Create(RegRoot::LocalMachine, "Software\\New") ||
        GetLastError() != ERROR_ACCESS_DENIED)
      result |= 4;
    return result;
  });
  if (run.unavailable) GTEST_SKIP() << run.why;
  ASSERT_TRUE(run.ran) << run.why;
  if (run.exitCode == kSandboxClosed)
    GTEST_SKIP() << "the unprivileged user cannot reach " << box.Root()
                 << ": a folder above it may be closed to it";
  EXPECT_EQ(run.exitCode, 0) << "1: cannot read, 2: opened for writing, 4: created a key";
}

TEST(Registry, DamagedValueFileIsAnErrorAndIsNeverOverwritten) {
  const std::string good = [] {
    Sandbox box;
    auto key = RegistryKey::Create(RegRoot::CurrentUser, "Damaged");
    key->WriteString("A", "alpha");
    return *ReadFileBytes(ValuesFileOf(RegistryFolderHKCU(), "Damaged"));
  }();
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"cut short", good.substr(0, good.size() - 2)},
      {"wrong magic", "XXXX" + good.substr(4)},
      {"count beyond the data",
       good.substr(0, 8) + std::string("\xFF\xFF\xFF\x0F", 4) + good.substr(12)},
      {"trailing bytes", good + "x"},
      {"name length beyond the data",
       good.substr(0, 12) + std::string("\xF0\xFF\xFF\xFF", 4) + good.substr(16)},
      {"two names equal ignoring case", std::string("TVRG\x01\x00\x00\x00\x02\x00\x00\x00", 12) +
                                            std::string("\x01\x00\x00\x00"
                                                        "a"
                                                        "\x01\x00\x00\x00\x00\x00\x00\x00",
                                                        13) +
                                            std::string("\x01\x00\x00\x00"
                                                        "A"
                                                        "\x01\x00\x00\x00\x00\x00\x00\x00",
                                                        13)},
  };
  for (const auto& c : cases) {
    Sandbox box;
    auto key = RegistryKey::Create(RegRoot::CurrentUser, "Damaged");
    ASSERT_TRUE(key);
    const std::string file = ValuesFileOf(RegistryFolderHKCU(), "Damaged");
    ASSERT_TRUE(WriteFileAtomic(file, c.bytes));
    try {
      (void)key->ReadString("A");
      ADD_FAILURE() << c.what << ": read without error";
    } catch (const RegistryError& e) {
      EXPECT_EQ(e.Code(), ERROR_INVALID_DATA) << c.what;
    }
    EXPECT_THROW(key->WriteString("B", "beta"), RegistryError) << c.what;
    EXPECT_EQ(ReadFileBytes(file), c.bytes) << c.what << ": the damaged file was replaced";
  }
}

TEST(Registry, DeletingValuesAndKeys) {
  Sandbox box;
  auto key = RegistryKey::Create(RegRoot::CurrentUser, "Software\\Gone\\Child\\Grandchild");
  ASSERT_TRUE(key);
  key->WriteString("V", "1");
  EXPECT_TRUE(key->DeleteValue("v"));
  EXPECT_FALSE(key->DeleteValue("v"));
  EXPECT_FALSE(key->ValueExists("V"));

  auto child = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Gone\\Child", RegAccess::Write);
  ASSERT_TRUE(child);
  EXPECT_TRUE(RegistryKey::DeleteKey(RegRoot::CurrentUser, "software\\gone"));
  EXPECT_FALSE(RegistryKey::KeyExists(RegRoot::CurrentUser, "Software\\Gone"));
  EXPECT_TRUE(RegistryKey::KeyExists(RegRoot::CurrentUser, "Software"));
  // A key deleted under an open handle fails loudly rather than reading empty.
  try {
    (void)child->ReadString("V");
    FAIL() << "read from a deleted key";
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.Code(), ERROR_FILE_NOT_FOUND);
  }
  EXPECT_THROW(child->WriteString("V", "1"), RegistryError);
  SetLastError(0);
  EXPECT_FALSE(RegistryKey::DeleteKey(RegRoot::CurrentUser, "Software\\Gone"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(RegistryKey::DeleteKey(RegRoot::CurrentUser, ""));
}

// Two processes write their own values into one key, a thousand each, while
// this process keeps reading it: no write is lost and no read sees a damaged
// or shrinking key.
TEST(Registry, TwoProcessesWritingOneKeyLoseNothing) {
  Sandbox box;
  const char* const kKey = "Software\\Race";
  ASSERT_TRUE(RegistryKey::Create(RegRoot::CurrentUser, kKey));
  const std::string helper = ExecutableFolder() + "platform_services_helper";
  auto a = LaunchProcess({helper, std::string("registry-write ") + kKey + " a 1000", "", false});
  auto b = LaunchProcess({helper, std::string("registry-write ") + kKey + " b 1000", "", false});
  ASSERT_TRUE(a && b) << GetLastError();

  auto key = RegistryKey::Open(RegRoot::CurrentUser, kKey);
  ASSERT_TRUE(key);
  std::size_t seen = 0, reads = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
  while (!(a->ExitCode() && b->ExitCode()) && std::chrono::steady_clock::now() < deadline) {
    const auto names = key->ValueNames();  // throws on a damaged key
    EXPECT_GE(names.size(), seen);
    seen = names.size();
    ++reads;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // leave the writers the CPU
  }
  const bool finished = a->Wait(0) == WaitResult::Signaled && b->Wait(0) == WaitResult::Signaled;
  if (!finished) {
    a->Terminate();
    b->Terminate();
    a->Wait(5000);
    b->Wait(5000);
    FAIL() << "writers did not finish within 240 s";
  }
  EXPECT_EQ(a->ExitCode(), 0u);
  EXPECT_EQ(b->ExitCode(), 0u);
  EXPECT_GT(reads, 0u);
  ASSERT_EQ(key->ValueNames().size(), 2000u);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(key->ReadString("a" + std::to_string(i)), "v" + std::to_string(i));
    ASSERT_EQ(key->ReadString("b" + std::to_string(i)), "v" + std::to_string(i));
  }
}
