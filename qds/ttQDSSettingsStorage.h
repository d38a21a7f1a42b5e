// An XML settings file: one document with a named root element, loaded and
// saved as a whole.
//
// This stands in for the settings storage of the terminal's base library:
// created with a file name and a root element name, it offers Load, Save, the
// document, and child elements found or created by name. Attribute values are
// texts; the typed readers below tell a missing attribute from one whose text
// does not read as the type, so that callers can fall back per attribute.
//
// Not thread-safe: a storage belongs to one settings object.
#pragma once

#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace tarvo {

class TSettingsStorage {
 public:
  TSettingsStorage(std::string aFileName, std::string aRootName);

  // Reads the file. A missing file gives an empty document and true; a file
  // that cannot be read or does not parse gives an empty document and false
  // (LastError() tells why). The root element is not created here.
  bool Load();
  // Writes the document atomically (temporary file and rename) with mode
  // 0600: the file holds account settings. Throws EQDSException when it
  // cannot be written.
  void Save();

  pugi::xml_document& GetDocument() noexcept { return fDocument; }
  const std::string& GetFilePath() const noexcept { return fFileName; }
  const std::string& RootName() const noexcept { return fRootName; }
  const std::string& LastError() const noexcept { return fLastError; }

  // The root element when the document has one of the storage's name, else
  // an empty node.
  pugi::xml_node Root() const;
  // The root element, created (replacing a root of another name) if needed.
  pugi::xml_node EnsureRoot();

  // The child element of that name, created when missing (Node must exist).
  static pugi::xml_node Child(pugi::xml_node Node, const char* Name);

 private:
  std::string fFileName;
  std::string fRootName;
  pugi::xml_document fDocument;
  std::string fLastError;
};

// Typed attribute reading: nullopt when the attribute is missing or its text
// does not read as the type. Booleans read "true"/"false", "1"/"0",
// "yes"/"no" in any letter case; integers decimal, with a sign where signed.
std::optional<std::string> ReadXmlString(pugi::xml_node Node, const char* Name);
std::optional<bool> ReadXmlBool(pugi::xml_node Node, const char* Name);
std::optional<std::int64_t> ReadXmlInt(pugi::xml_node Node, const char* Name);

// Typed attribute writing (the attribute is created when missing). Booleans
// are written "true"/"false".
void WriteXmlString(pugi::xml_node Node, const char* Name, std::string_view Value);
void WriteXmlBool(pugi::xml_node Node, const char* Name, bool Value);
void WriteXmlInt(pugi::xml_node Node, const char* Name, std::int64_t Value);

}  // namespace tarvo
