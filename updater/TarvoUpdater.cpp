// TarvoUpdater: replaces the terminal's files from a downloaded update, or
// restores them from the backup of the last update ("-rollback"). The run
// itself is RunUpdater (updater/tuMain.h).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "updater/ExtUtils.h"
#include "updater/tuMain.h"

int main(int argc, char** argv) {
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
