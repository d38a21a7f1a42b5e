#include "qds/ttQDSSettingsStorage.h"

#include <charconv>
#include <sstream>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Format.h"
#include "platform/core/Text.h"
#include "qds/ttQDSPrimitives.h"

namespace tarvo {

TSettingsStorage::TSettingsStorage(std::string aFileName, std::string aRootName)
    : fFileName(std::move(aFileName)), fRootName(std::move(aRootName)) {}

bool TSettingsStorage::Load() {
  fDocument.reset();
  fLastError.clear();
  if (!platform::FileExists(fFileName)) return true;
  const std::optional<std::string> bytes = platform::ReadFileBytes(fFileName);
  if (!bytes) {
    fLastError = platform::SysErrorMessage(platform::GetLastError());
    return false;
  }
  const pugi::xml_parse_result parsed = fDocument.load_buffer(bytes->data(), bytes->size());
  if (!parsed) {
    fDocument.reset();
    fLastError = platform::Format("%s at byte %d",
                                  {parsed.description(), static_cast<long long>(parsed.offset)});
    return false;
  }
  return true;
}

void TSettingsStorage::Save() {
  std::ostringstream out;
  fDocument.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  if (!platform::WriteFileAtomic(fFileName, out.str(), 0600))
    throw EQDSException(platform::Format("The settings could not be saved to \"%s\"", {fFileName}),
                        platform::SysErrorMessage(platform::GetLastError()));
}

pugi::xml_node TSettingsStorage::Root() const {
  const pugi::xml_node root = fDocument.document_element();
  return root && fRootName == root.name() ? root : pugi::xml_node();
}

pugi::xml_node TSettingsStorage::EnsureRoot() {
  if (const pugi::xml_node root = Root()) return root;
  fDocument.reset();
  pugi::xml_node decl = fDocument.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  return fDocument.append_child(fRootName.c_str());
}

pugi::xml_node TSettingsStorage::Child(pugi::xml_node Node, const char* Name) {
  pugi::xml_node child = Node.child(Name);
  return child ? child : Node.append_child(Name);
}

std::optional<std::string> ReadXmlString(pugi::xml_node Node, const char* Name) {
  const pugi::xml_attribute a = Node.attribute(Name);
  if (!a) return std::nullopt;
  return std::string(a.value());
}

std::optional<bool> ReadXmlBool(pugi::xml_node Node, const char* Name) {
  const auto text = ReadXmlString(Node, Name);
  if (!text) return std::nullopt;
  const std::string v = platform::Trim(*text);
  if (platform::SameTextAscii(v, "true") || v == "1" || platform::SameTextAscii(v, "yes") ||
      v == "-1")
    return true;
  if (platform::SameTextAscii(v, "false") || v == "0" || platform::SameTextAscii(v, "no"))
    return false;
  return std::nullopt;
}

std::optional<std::int64_t> ReadXmlInt(pugi::xml_node Node, const char* Name) {
  const auto text = ReadXmlString(Node, Name);
  if (!text) return std::nullopt;
  std::string v = platform::Trim(*text);
  if (!v.empty() && v.front() == '+') v.erase(0, 1);
  std::int64_t n = 0;
  const auto r = std::from_chars(v.data(), v.data() + v.size(), n);
  if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size()) return std::nullopt;
  return n;
}

void WriteXmlString(pugi::xml_node Node, const char* Name, std::string_view Value) {
  pugi::xml_attribute a = Node.attribute(Name);
  if (!a) a = Node.append_attribute(Name);
  a.set_value(std::string(Value).c_str());
}

void WriteXmlBool(pugi::xml_node Node, const char* Name, bool Value) {
  WriteXmlString(Node, Name, Value ? "true" : "false");
}

void WriteXmlInt(pugi::xml_node Node, const char* Name, std::int64_t Value) {
  WriteXmlString(Node, Name, std::to_string(Value));
}

}  // namespace tarvo
