// The translation catalogue.
//
// Every text the toolkit shows to a user is looked up by section and
// identifier, with the English text as the default:
//
//   std::string caption = tarvo::Translate("tvu", "UpdateCaption", "Updating %s...");
//
// The catalogue holds the sources of one language at a time, merged into one
// table of sections and key/value pairs (updater/MemIniStorage.h). A source is
// an INI-like text: a file named "<language>.<part>.lng" (TTarvoFileTranslator)
// or an embedded raw-data resource named "<LANGUAGE>_<PART>_LNG"
// (TTarvoResourceTranslator). Its encoding is chosen by its byte-order mark
// (UTF-8 or UTF-16); without one it is in the system ANSI code page.
//
// Values may hold escapes ("\n", "\r", "\t", "\_" for a blank, "\\") and
// variables "${name}" taken from the section "Variables" (see Translate()).
//
// Threads: the catalogue belongs to the user-interface thread and has no lock.
// Worker threads must not translate.
//
// Lifetime: Translator() creates the one instance on first use; it lives until
// FreeTranslator() or the end of the process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Format.h"
#include "platform/core/Resources.h"
#include "updater/MemIniStorage.h"

namespace tarvo {

// A source the catalogue knows: its name and, for resources, the module that
// holds it (nullptr for files).
struct TTranslateSource {
  std::string name;
  platform::ModuleHandle tag = nullptr;
};

class TTarvoTranslator {
 public:
  virtual ~TTarvoTranslator() = default;
  TTarvoTranslator(const TTarvoTranslator&) = delete;
  TTarvoTranslator& operator=(const TTarvoTranslator&) = delete;

  // Creates a translator of class T and fills its FileList through
  // ListSources (two-phase creation: a constructor cannot call the override).
  template <class T, class... Args>
  static std::unique_ptr<T> Create(Args&&... args) {
    std::unique_ptr<T> t(new T(std::forward<Args>(args)...));
    t->AfterConstruction();
    return t;
  }

  // English name of the current language exactly as it was set ("Russian");
  // empty until set.
  const std::string& Language() const noexcept { return fLanguage; }
  // Changes the language and reloads the sources:
  //  - a value equal to Language() (exactly, letter case included) does nothing;
  //  - otherwise the first known locale (platform/core/Locales.h, in its order) whose
  //    English language name equals the value ignoring case and whose
  //    sublanguage id is 0 or 1 is taken; when there is none, nothing changes;
  //  - Language() becomes the value as passed, LocaleId() and LocaleName() that
  //    locale's, and the sources of the language are loaded.
  void SetLanguage(const std::string& value);

  // Locale id of the language (low 16 bits: the language id for system
  // message boxes) and its locale name; 0 and empty until a language is set.
  std::uint32_t LocaleId() const noexcept { return fLocaleId; }
  const std::string& LocaleName() const noexcept { return fLocaleName; }

  // Every source known to the catalogue, in the order they were listed.
  const std::vector<TTranslateSource>& FileList() const noexcept { return fFileList; }
  // Number of sources loaded for the current language. A source that could
  // not be read is skipped and not counted.
  int FileCount() const noexcept { return fFileCount; }

  // The translated text; never fails. The value of the key in the section, or
  // aDefault when there is none, with escapes replaced and variables expanded.
  // A wrong variable leaves the text with its escapes replaced but unexpanded.
  std::string Translate(std::string_view section, std::string_view ident,
                        std::string_view aDefault) const;
  // As Translate, and tells why expansion failed: false with the message in
  // *error (for diagnostics; Translate drops it).
  bool TryTranslate(std::string_view section, std::string_view ident, std::string_view aDefault,
                    std::string& result, std::string* error) const;

  // Replaces escapes and expands variables of any text as Translate does with
  // a value; a wrong variable leaves the text unexpanded.
  std::string Expand(std::string_view text) const;

  // Reads the stored value without escapes or variables.
  std::string ReadString(std::string_view section, std::string_view ident,
                         std::string_view aDefault) const {
    return fSections.ReadString(section, ident, aDefault);
  }
  bool Contains(std::string_view section, std::string_view ident) const noexcept {
    return fSections.FindValue(section, ident) != nullptr;
  }
  // Changes a value in memory until the next reload.
  void Replace(std::string_view section, std::string_view ident, std::string newValue) {
    fSections.ReplaceString(section, ident, std::move(newValue));
  }
  bool Delete(std::string_view section, std::string_view ident) {
    return fSections.DeleteString(section, ident);
  }
  const TTarvoTranslateSections& Sections() const noexcept { return fSections; }

  // Reloads the sources of the current language (after sources changed).
  void Update() { Reload(); }
  // Lists the sources again (new files or modules) and reloads.
  void Rescan();
  // Every language that has a source, in the letter case of its first source,
  // sorted ignoring ASCII case, without repeats.
  std::vector<std::string> Enumerate() const;

 protected:
  TTarvoTranslator() = default;
  // Second phase of creation: fills FileList through ListSources.
  virtual void AfterConstruction();

  // Opens a source for reading and returns its bytes; throws on failure.
  virtual std::string OpenSource(const TTranslateSource& source) const = 0;
  // Appends the names of all sources.
  virtual void ListSources(std::vector<TTranslateSource>& list) const = 0;
  // Splits a source name into language and part; false when it has not both.
  virtual bool SplitSourceName(std::string_view name, std::string& language,
                               std::string& part) const = 0;

  // Escapes and variables of text into result; false (result unexpanded, the
  // reason in *error) on a wrong variable.
  bool ExpandText(std::string_view text, std::string& result, std::string* error) const;

  // Loads the sources of Language() (nothing when it is empty).
  void Reload();
  std::vector<TTranslateSource>& MutableFileList() noexcept { return fFileList; }

 private:
  TTarvoTranslateSections fSections;
  std::string fLanguage;
  std::uint32_t fLocaleId = 0;
  std::string fLocaleName;
  std::vector<TTranslateSource> fFileList;
  int fFileCount = 0;
};

// Sources in files "<language>.<part>.lng" under FilePath and, recursively, all
// its subfolders (files of a folder before its subfolders, each sorted by name;
// links to folders are not followed).
class TTarvoFileTranslator : public TTarvoTranslator {
 public:
  // The folder searched, with a trailing "/"; starts as the folder of the
  // running program.
  const std::string& FilePath() const noexcept { return fFilePath; }
  // A different, existing folder is stored, its sources are appended to
  // FileList (the list is not cleared) and the language reloads; a folder that
  // does not exist is ignored.
  void SetFilePath(const std::string& path);

 protected:
  friend class TTarvoTranslator;
  TTarvoFileTranslator();
  std::string OpenSource(const TTranslateSource& source) const override;
  void ListSources(std::vector<TTranslateSource>& list) const override;
  bool SplitSourceName(std::string_view name, std::string& language,
                       std::string& part) const override;

 private:
  void ListFolder(const std::string& folder, std::vector<TTranslateSource>& list, int depth) const;
  std::string fFilePath;
};

// Sources in raw-data resources named "<LANGUAGE>_<PART>_LNG" of the modules of
// the process (platform/core/Resources.h), or exactly those registered with
// AddResource.
class TTarvoResourceTranslator : public TTarvoTranslator {
 public:
  // Registers one resource of a module as a source; once any is registered,
  // only registered resources are sources. Takes effect for translators
  // created (or rescanned) afterwards.
  static void AddResource(platform::ModuleHandle instance, const std::string& resName);
  // Forgets the registered resources (back to every "*_LNG" resource).
  static void ClearResources();

 protected:
  friend class TTarvoTranslator;
  TTarvoResourceTranslator() = default;
  std::string OpenSource(const TTranslateSource& source) const override;
  void ListSources(std::vector<TTranslateSource>& list) const override;
  bool SplitSourceName(std::string_view name, std::string& language,
                       std::string& part) const override;
};

// --- the process-wide catalogue ----------------------------------------------

// How the one translator is created; the default creates a TTarvoFileTranslator.
using TTarvoTranslatorClass = std::unique_ptr<TTarvoTranslator> (*)();

template <class T>
std::unique_ptr<TTarvoTranslator> CreateTranslatorOf() {
  return TTarvoTranslator::Create<T>();
}

// Sets the class of the translator that Translator() creates. Call it before
// the first Translator() call (the updater sets TTarvoResourceTranslator).
void SetTranslatorClass(TTarvoTranslatorClass translatorClass);

// The one translator, created on first use: its language is set to the English
// name of the system's default locale ("English" when the system names none),
// and to "English" when that loaded no source.
TTarvoTranslator& Translator();
// Frees the translator; the next Translator() creates a new one.
void FreeTranslator();

// Source parts that load first, in this order (so that every other source of
// the language overrides them). Empty: the order of FileList. Takes effect at
// the next reload.
std::vector<std::string>& Priority();

// Translator().Translate(...).
std::string Translate(std::string_view section, std::string_view ident, std::string_view aDefault);
// Translator().Language().
const std::string& Language();

// Formats a translated pattern. When the translation does not fit the
// arguments (a translator dropped or added a specifier), the English default
// is formatted instead, so that a faulty source never breaks its caller. An
// EFormatError escapes only when the default itself does not fit.
std::string TranslateFmt(std::string_view section, std::string_view ident,
                         std::string_view aDefault, const platform::FormatArgs& args);

}  // namespace tarvo
