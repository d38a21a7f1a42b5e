// Embedded raw-data resources.
//
// A module (the program or one of its shared libraries) carries named blobs
// that the build embeds with tarvo_embed_resources() (cmake/TarvoResources.cmake).
// When the module loads, a static ResourceRegistration adds them to one
// process-wide registry; when it unloads, they are removed. This stands in for
// the raw-data resources (RT_RCDATA) of Windows modules.
//
// The registry is thread-safe. Data pointers stay valid while their module is
// loaded.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::platform {

struct ResourceData {
  const char* name;
  const unsigned char* data;
  std::size_t size;
};

// A module handle: identifies the module that registered a resource. Stable
// while the module is loaded.
using ModuleHandle = const void*;

// Registers the resources of one module for its lifetime. Used by generated
// code; tests may register resources of their own the same way. The registry
// keeps the name and data pointers, not copies: they must stay valid until the
// registration ends. Entries without a name are ignored.
class ResourceRegistration {
 public:
  ResourceRegistration(const char* module, std::initializer_list<ResourceData> resources);
  ~ResourceRegistration();
  ResourceRegistration(const ResourceRegistration&) = delete;
  ResourceRegistration& operator=(const ResourceRegistration&) = delete;

  ModuleHandle Handle() const noexcept { return this; }
};

struct ResourceName {
  ModuleHandle module;
  std::string moduleName;
  std::string name;
};

// All resources of all loaded modules: modules in the order they registered,
// each module's resources in the order given.
std::vector<ResourceName> ListResources();

// The module registered under a name (the CMake target name, compared
// exactly), if loaded; the first to register when two share a name.
std::optional<ModuleHandle> FindModule(std::string_view moduleName);

// The bytes of a resource of one module, names compared ignoring ASCII case;
// nullopt when that module is not loaded or has no such resource. An empty
// resource gives an empty view. When a module has two resources whose names
// differ only in case, the first is found.
std::optional<std::string_view> FindResource(ModuleHandle module, std::string_view name);

}  // namespace tarvo::platform
