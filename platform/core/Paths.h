// Where the platform keeps things.
//
// Every location can be moved for tests: TARVO_PLATFORM_ROOT=<dir> puts all of
// them under <dir>; the specific variables below win over it. Values are read
// on every call.
//
//   location              variable              default                 under the root
//   common app data       TARVO_COMMON_APPDATA  /var/lib                <root>/common
//   local app data        TARVO_LOCAL_APPDATA   $XDG_DATA_HOME or       <root>/local
//                                               ~/.local/share
//   registry HKCU         TARVO_REGISTRY_HKCU   $XDG_CONFIG_HOME/tarvo/ <root>/registry/HKCU
//                                               registry (~/.config/...)
//   registry HKLM         TARVO_REGISTRY_HKLM   /etc/tarvo/registry     <root>/registry/HKLM
//   runtime (locks, maps) TARVO_RUNTIME_DIR     $XDG_RUNTIME_DIR/tarvo  <root>/run
//                                               or /tmp/tarvo-<uid>
//   system folder         TARVO_SYSTEM_DIR      /usr/lib/tarvo          <root>/system
//
// An empty variable counts as unset; a relative XDG_* value is ignored, as the
// XDG rules say; without HOME the account's home folder is used. No function
// creates the folder it names; results have no trailing "/". Thread-safe as
// long as nobody changes the environment at the same time.
#pragma once

#include <string>

namespace tarvo::platform {

std::string CommonAppDataFolder();
std::string LocalAppDataFolder();
std::string RegistryFolderHKCU();
std::string RegistryFolderHKLM();
std::string RuntimeFolder();
std::string SystemFolder();

}  // namespace tarvo::platform
