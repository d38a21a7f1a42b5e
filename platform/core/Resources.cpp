#include "platform/core/Resources.h"

#include <algorithm>
#include <mutex>

namespace tarvo::platform {

namespace {

struct Module {
  const ResourceRegistration* handle;
  std::string name;
  std::vector<ResourceData> resources;
};

struct Registry {
  std::mutex mutex;
  std::vector<Module> modules;  // in the order they registered
};

// Never destroyed: modules may unregister from their own static destructors
// after this library's statics would have gone.
Registry& TheRegistry() {
  static auto* registry = new Registry();
  return *registry;
}

bool SameAsciiText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

ResourceRegistration::ResourceRegistration(const char* module,
                                           std::initializer_list<ResourceData> resources) {
  Registry& r = TheRegistry();
  Module m{this, module ? module : "", {}};
  m.resources.reserve(resources.size());
  for (const ResourceData& d : resources) {
    if (!d.name) continue;  // a resource without a name could never be found
    m.resources.push_back({d.name, d.size ? d.data : nullptr, d.data ? d.size : 0});
  }
  std::lock_guard lock(r.mutex);
  r.modules.push_back(std::move(m));
}

ResourceRegistration::~ResourceRegistration() {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::erase_if(r.modules, [this](const Module& m) { return m.handle == this; });
}

std::vector<ResourceName> ListResources() {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::vector<ResourceName> out;
  for (const Module& m : r.modules)
    for (const ResourceData& d : m.resources) out.push_back({m.handle, m.name, d.name});
  return out;
}

std::optional<ModuleHandle> FindModule(std::string_view moduleName) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  for (const Module& m : r.modules)
    if (m.name == moduleName) return static_cast<ModuleHandle>(m.handle);
  return std::nullopt;
}

std::optional<std::string_view> FindResource(ModuleHandle module, std::string_view name) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  for (const Module& m : r.modules) {
    if (m.handle != module) continue;
    for (const ResourceData& d : m.resources) {
      if (!SameAsciiText(d.name, name)) continue;
      if (d.size == 0) return std::string_view();
      return std::string_view(reinterpret_cast<const char*>(d.data), d.size);
    }
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace tarvo::platform
