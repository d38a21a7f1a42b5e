// The fixture of the end-to-end tests that run the real TarvoUpdater program
// in a sandboxed installation: an install folder holding the updater, a
// stamped "TarvoTrade.exe" and a version library, a data folder with a
// modification list, and a scripted dialog service whose record tells which
// boxes the program showed.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/Files.h"
#include "platform/core/Text.h"
#include "platform/system/Process.h"
#include "testing/Sandbox.h"

namespace tarvo::updater::testing {

namespace pf = tarvo::platform;

struct Box {
  std::string result, flags, languageId, shield, owner, caption, text;
};

inline std::string Unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      const char c = s[++i];
      out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    } else {
      out += s[i];
    }
  }
  return out;
}

class UpdaterRun : public ::testing::Test {
 protected:
  void SetUp() override {
    install = box.MakeDir("install") + "/";
    // The program and the platform library it loads from its own folder.
    for (const char* name : {"TarvoUpdater", "libtvPlatform.so"})
      ASSERT_TRUE(pf::CopyFile(tarvo::testing::BinaryPath(name), install + name)) << name;
    Stamp(install + "TarvoTrade.exe", {"--company", "Orvanta", "--internal-name", "TARVOTRADE",
                                       "--product-name", "TARVO Trade"});
    Stamp(install + "tvVersion.pkgx", {"--company", "Orvanta", "--file-version", "5.2.0.17"});
    data = box.Path("common/TARVO/Trade/");
    box.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
    box.SetEnv("TARVO_DIALOG_SCRIPT", box.Path("script.txt"));
    box.SetEnv("TARVO_DIALOG_RECORD", box.Path("record.txt"));
    box.SetEnv("TARVO_WINDOW_LIST", std::nullopt);
  }

  void Stamp(const std::string& path, std::vector<std::string> args) {
    if (!pf::FileExists(path)) {
      ASSERT_TRUE(pf::WriteFileAtomic(path, "program body", 0755));
    }
    std::string params;
    for (const auto& a : args) params += pf::QuoteArgument(a) + " ";
    params += pf::QuoteArgument(path);
    auto p = pf::LaunchProcess({tarvo::testing::BinaryPath("verstamp"), params, "", false});
    ASSERT_TRUE(p);
    ASSERT_EQ(p->Wait(30000), pf::WaitResult::Signaled);
    ASSERT_EQ(p->ExitCode(), 0u);
  }

  void Script(const std::string& answers) { box.WriteFile("script.txt", answers); }
  void List(const std::string& folder, const std::string& text) {
    box.WriteFile("common/TARVO/Trade/" + folder + "/FileList.$$$", text);
  }

  // Runs the program with a parameter string; its exit code.
  std::uint32_t Run(const std::string& params = "") {
    auto p = pf::LaunchProcess({install + "TarvoUpdater", params, "", false});
    EXPECT_TRUE(p);
    if (!p) return 0xFFFF;
    if (p->Wait(60000) != pf::WaitResult::Signaled) {
      p->Terminate();
      ADD_FAILURE() << "the updater did not end";
      return 0xFFFF;
    }
    return p->ExitCode().value_or(0xFFFF);
  }

  std::vector<Box> Boxes() const {
    std::vector<Box> out;
    const auto text = box.ReadFile("record.txt");
    if (!text) return out;
    for (const auto& line : pf::SplitString(*text, '\n')) {
      if (line.empty()) continue;
      const auto f = pf::SplitString(line, '\t');
      if (f.size() != 7) {
        ADD_FAILURE() << "bad record line " << line;
        continue;
      }
      out.push_back({f[0], f[1], f[2], f[3], f[4], Unescape(f[5]), Unescape(f[6])});
    }
    return out;
  }

  std::string LogText() const { return box.ReadFile("common/TARVO/Trade/update.log").value_or(""); }

  tarvo::testing::Sandbox box;
  std::string install, data;
};

}  // namespace tarvo::updater::testing
