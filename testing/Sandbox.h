// A sandbox for one test: a fresh temporary folder that every platform
// location points into (TARVO_PLATFORM_ROOT, see platform/core/Paths.h), removed
// with everything in it when the sandbox ends.
//
//   TEST(Updater, Something) {
//     tarvo::testing::Sandbox box;
//     box.WriteFile("common/TARVO/Trade/update.log", "...");
//     ...
//   }
//
// The sandbox sets the environment of the whole process, so tests that use it
// must not run in parallel threads of one process (ctest runs each test case in
// a process of its own). It restores every variable it changed, clears fault
// injection rules, and removes the folder even when files in it were made
// read-only.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::testing {

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The root folder, without a trailing "/".
  const std::string& Root() const noexcept { return fRoot; }
  // Root() + "/" + relative.
  std::string Path(std::string_view relative) const;

  // Creates parent folders as needed and writes the bytes; returns the full path.
  std::string WriteFile(std::string_view relative, std::string_view bytes) const;
  // The bytes of a file under the root; nullopt when it cannot be read.
  std::optional<std::string> ReadFile(std::string_view relative) const;
  // Creates the folder and its parents; returns the full path.
  std::string MakeDir(std::string_view relative) const;

  // Sets (or, with nullopt, unsets) an environment variable until the sandbox ends.
  void SetEnv(const std::string& name, std::optional<std::string> value);

 private:
  std::string fRoot;
  std::map<std::string, std::optional<std::string>> fSavedEnv;
};

// The source tree (TARVO_SOURCE_DIR, else the tree this build came from)
// joined with relative: for test data shipped with the sources.
std::string SourcePath(std::string_view relative);
// The build's binaries folder (TARVO_BINARY_DIR/bin, else this build's)
// joined with name.
std::string BinaryPath(std::string_view name);

}  // namespace tarvo::testing
