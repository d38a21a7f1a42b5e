// TarvoUpdater: replaces the terminal's files from a downloaded update, or
// restores them from the backup of the last update ("-rollback"). The run
// itself is RunUpdater (updater/tuMain.h).
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "platform/core/Files.h"
#include "platform/core/Text.h"
#include "updater/ExtUtils.h"
#include "updater/tuMain.h"

namespace {

// Test hook: TARVO_UPDATER_FAULTS holds rules "pattern|op|code|count"
// separated by ";" (op is the number of a platform::FileOp, count -1 for
// always), so that the end-to-end tests can make the real program's file
// operations fail. Unset in every real run; a malformed rule is ignored.
void InstallTestFaults() {
  const char* rules = std::getenv("TARVO_UPDATER_FAULTS");
  if (!rules) return;
  namespace pf = tarvo::platform;
  for (const auto& rule : pf::SplitString(rules, ';')) {
    const auto f = pf::SplitString(rule, '|');
    if (f.size() != 4) continue;
    try {
      const int op = std::stoi(f[1]);
      if (op < 0 || op > static_cast<int>(pf::FileOp::List)) continue;
      pf::FaultInjection::Add(f[0], static_cast<pf::FileOp>(op),
                              static_cast<std::uint32_t>(std::stoul(f[2])), std::stoi(f[3]));
    } catch (const std::exception&) {
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  InstallTestFaults();
  std::vector<std::string> params(argv, argv + argc);
  try {
    return tarvo::updater::RunUpdater(std::move(params));
  } catch (const std::exception& e) {
    // No path of a run raises; should one escape, it must not pass for a
    // finished run.
    tarvo::updater::Log(std::string("Unexpected error: ") + e.what());
    tarvo::updater::CloseLog();
    std::fprintf(stderr, "TarvoUpdater: %s\n", e.what());
    return 1;
  }
}
