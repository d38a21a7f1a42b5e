#include "updater/Translate.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "platform/core/CodePage.h"
#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Locales.h"
#include "platform/core/Text.h"

namespace tarvo {

namespace {

constexpr std::string_view kVariables = "Variables";
constexpr std::string_view kUndefined = "$undef$";
// Deep enough for any real installation, and a guard against folder loops.
constexpr int kMaxFolderDepth = 32;

bool IsLowerAscii(char c) noexcept {
  return c >= 'a' && c <= 'z';
}

// Replaces the escapes of a catalogue value. The scan runs from the first to
// the next-to-last character, so a backslash in the last position stays; a
// replaced pair is not scanned again.
std::string Unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\\' && i + 1 < s.size()) {
      char next = s[i + 1];
      if (next >= 'a' && next <= 'z') next = static_cast<char>(next - ('a' - 'A'));
      char replacement = 0;
      switch (next) {
        case 'N':
          replacement = '\n';
          break;
        case 'R':
          replacement = '\r';
          break;
        case 'T':
          replacement = '\t';
          break;
        case '_':
          replacement = ' ';
          break;
        case '\\':
          replacement = '\\';
          break;
        default:
          break;
      }
      if (replacement) {
        out += replacement;
        i += 2;
        continue;
      }
    }
    out += c;
    ++i;
  }
  return out;
}

// Appends a variable's value, upper-cased for a name written with capitals:
// all of it when the name has no lower-case ASCII letter, else its first
// character.
void AppendAdapted(std::string& out, std::string_view name, const std::string& value) {
  if (value.empty() || name.empty() || IsLowerAscii(name.front())) {
    out += value;
  } else if (std::none_of(name.begin(), name.end(), IsLowerAscii)) {
    out += platform::UpperCase(value);
  } else if (static_cast<unsigned char>(value.front()) < 0x80) {
    const char c = value.front();
    out += IsLowerAscii(c) ? static_cast<char>(c - ('a' - 'A')) : c;
    out.append(value, 1);
  } else {
    const std::size_t first = platform::ByteOffsetOf(value, 1);
    out += platform::UpperCase(std::string_view(value).substr(0, first));
    out.append(value, first);
  }
}

// Expands "${name}" variables from the section "Variables" in one scan from the
// left. Returns false with a message on the first wrong variable.
bool ExpandVariables(const TTarvoTranslateSections& sections, std::string_view s, std::string& out,
                     std::string& error) {
  out.clear();
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t open = s.find("${", i);
    if (open == std::string_view::npos) {
      out.append(s.substr(i));
      break;
    }
    out.append(s.substr(i, open - i));
    i = open;
    const std::size_t close = s.find('}', i + 2);
    if (close == std::string_view::npos) {
      error = platform::Format("Wrong variable name syntax in translation: \"%s\"", {s.substr(i)});
      return false;
    }
    const std::string_view name = platform::TrimView(s.substr(i + 2, close - i - 2));
    if (name.empty()) {
      error = platform::Format("Empty variable name in translation: \"%s\"",
                               {s.substr(i, close - i + 1)});
      return false;
    }
    const TTarvoTranslateSectionValue* v = sections.FindValue(kVariables, name);
    if (!v || v->Value() == kUndefined) {
      error = platform::Format("Unknown variable in translation: \"%s\"", {name});
      return false;
    }
    std::size_t next = close + 1;
    if (v->Value().empty()) {
      // An empty value takes one neighbouring blank with it, so that the words
      // around it keep one blank between them.
      if (!out.empty() && out.back() == ' ')
        out.pop_back();
      else if (next < s.size() && s[next] == ' ')
        ++next;
    } else {
      AppendAdapted(out, name, v->Value());
    }
    i = next;
  }
  return true;
}

TTarvoTranslatorClass& TranslatorClass() {
  static TTarvoTranslatorClass cls = &CreateTranslatorOf<TTarvoFileTranslator>;
  return cls;
}

std::unique_ptr<TTarvoTranslator>& Instance() {
  static std::unique_ptr<TTarvoTranslator> instance;
  return instance;
}

std::vector<TTranslateSource>& RegisteredResources() {
  static std::vector<TTranslateSource> list;
  return list;
}

}  // namespace

// --- TTarvoTranslator ---------------------------------------------------------

void TTarvoTranslator::AfterConstruction() {
  ListSources(fFileList);
}

void TTarvoTranslator::SetLanguage(const std::string& value) {
  if (value == fLanguage) return;
  const std::optional<platform::LocaleInfo> locale = platform::FindLocaleByLanguage(value);
  if (!locale) return;
  fLanguage = value;
  fLocaleId = locale->lcid;
  fLocaleName = locale->name;
  Reload();
}

void TTarvoTranslator::Reload() {
  if (fLanguage.empty()) return;

  std::vector<const TTranslateSource*> selected;
  std::vector<std::string> parts;
  for (const TTranslateSource& source : fFileList) {
    std::string language, part;
    if (SplitSourceName(source.name, language, part) && platform::SameText(language, fLanguage)) {
      selected.push_back(&source);
      parts.push_back(std::move(part));
    }
  }

  // Sources named in the priority list move to the front in its order; the
  // others keep their order behind them.
  std::size_t front = 0;
  for (const std::string& wanted : Priority()) {
    for (std::size_t i = front; i < selected.size(); ++i) {
      if (!platform::SameText(parts[i], wanted)) continue;
      std::rotate(selected.begin() + front, selected.begin() + i, selected.begin() + i + 1);
      std::rotate(parts.begin() + front, parts.begin() + i, parts.begin() + i + 1);
      ++front;
      break;
    }
  }

  fSections.Clear();
  int loaded = 0;
  for (const TTranslateSource* source : selected) {
    // A source that cannot be opened or decoded is skipped: the catalogue must
    // go on with the others, since Translate never fails.
    try {
      const platform::DecodedText text = platform::DecodeText(OpenSource(*source));
      fSections.SetStrings(platform::SplitLines(text.text));
      ++loaded;
    } catch (const std::exception&) {
    }
  }
  fFileCount = loaded;
}

void TTarvoTranslator::Rescan() {
  fFileList.clear();
  ListSources(fFileList);
  Reload();
}

bool TTarvoTranslator::ExpandText(std::string_view text, std::string& result,
                                  std::string* error) const {
  if (text.find('\\') == std::string_view::npos && text.find("${") == std::string_view::npos) {
    result.assign(text);
    return true;
  }
  std::string unescaped;
  std::string_view expanded = text;
  if (text.find('\\') != std::string_view::npos) expanded = unescaped = Unescape(text);
  std::string message;
  if (ExpandVariables(fSections, expanded, result, message)) return true;
  if (error) *error = std::move(message);
  result.assign(expanded);
  return false;
}

std::string TTarvoTranslator::Expand(std::string_view text) const {
  std::string result;
  ExpandText(text, result, nullptr);
  return result;
}

bool TTarvoTranslator::TryTranslate(std::string_view section, std::string_view ident,
                                    std::string_view aDefault, std::string& result,
                                    std::string* error) const {
  const TTarvoTranslateSectionValue* v = fSections.FindValue(section, ident);
  if (v && !v->NeedsExpansion()) {
    result = v->Value();
    return true;
  }
  if (ExpandText(v ? std::string_view(v->Value()) : aDefault, result, error)) return true;
  if (error) *error += platform::Format("\r\n(%s\\%s)", {section, ident});
  return false;
}

std::string TTarvoTranslator::Translate(std::string_view section, std::string_view ident,
                                        std::string_view aDefault) const {
  std::string result;
  TryTranslate(section, ident, aDefault, result, nullptr);
  return result;
}

std::vector<std::string> TTarvoTranslator::Enumerate() const {
  std::vector<std::string> languages;
  for (const TTranslateSource& source : fFileList) {
    std::string language, part;
    if (!SplitSourceName(source.name, language, part)) continue;
    const bool known = std::any_of(languages.begin(), languages.end(), [&](const std::string& l) {
      return CompareNames(l, language) == 0;
    });
    if (!known) languages.push_back(std::move(language));
  }
  std::stable_sort(
      languages.begin(), languages.end(),
      [](const std::string& a, const std::string& b) { return CompareNames(a, b) < 0; });
  return languages;
}

// --- TTarvoFileTranslator -----------------------------------------------------

TTarvoFileTranslator::TTarvoFileTranslator() : fFilePath(platform::ExecutableFolder()) {}

void TTarvoFileTranslator::SetFilePath(const std::string& path) {
  if (!platform::DirectoryExists(path)) return;
  const std::string folder = platform::IncludeTrailingPathDelimiter(path);
  if (folder == fFilePath) return;
  fFilePath = folder;
  ListSources(MutableFileList());
  Reload();
}

void TTarvoFileTranslator::ListFolder(const std::string& folder,
                                      std::vector<TTranslateSource>& list, int depth) const {
  const std::vector<platform::FileEntry> entries = platform::ListFiles(folder, "*");
  for (const platform::FileEntry& e : entries)
    if (!e.isDirectory && platform::MatchesMask(e.name, "*.*.lng"))
      list.push_back({folder + e.name, nullptr});
  if (depth >= kMaxFolderDepth) return;
  // Linked folders are not followed: two links back to a parent would make
  // the walk grow exponentially with the depth.
  for (const platform::FileEntry& e : entries)
    if (e.isDirectory && !e.isLink) ListFolder(folder + e.name + "/", list, depth + 1);
}

void TTarvoFileTranslator::ListSources(std::vector<TTranslateSource>& list) const {
  if (!fFilePath.empty()) ListFolder(fFilePath, list, 0);
}

bool TTarvoFileTranslator::SplitSourceName(std::string_view name, std::string& language,
                                           std::string& part) const {
  const std::string file = platform::ExtractFileName(name);
  const std::size_t first = file.find('.');
  if (first == std::string::npos) return false;
  const std::size_t second = file.find('.', first + 1);
  if (second == std::string::npos) return false;
  language = file.substr(0, first);
  part = file.substr(first + 1, second - first - 1);
  return true;
}

std::string TTarvoFileTranslator::OpenSource(const TTranslateSource& source) const {
  std::optional<std::string> bytes = platform::ReadFileBytes(source.name);
  if (!bytes) {
    const std::uint32_t code = platform::GetLastError();
    throw std::runtime_error(platform::Format("Cannot open file \"%s\". %s",
                                              {source.name, platform::SysErrorMessage(code)}));
  }
  return std::move(*bytes);
}

// --- TTarvoResourceTranslator -------------------------------------------------

void TTarvoResourceTranslator::AddResource(platform::ModuleHandle instance,
                                           const std::string& resName) {
  RegisteredResources().push_back({resName, instance});
}

void TTarvoResourceTranslator::ClearResources() {
  RegisteredResources().clear();
}

void TTarvoResourceTranslator::ListSources(std::vector<TTranslateSource>& list) const {
  if (!RegisteredResources().empty()) {
    list.insert(list.end(), RegisteredResources().begin(), RegisteredResources().end());
    return;
  }
  for (const platform::ResourceName& r : platform::ListResources())
    if (platform::EndsTextAscii(r.name, "_LNG")) list.push_back({r.name, r.module});
}

bool TTarvoResourceTranslator::SplitSourceName(std::string_view name, std::string& language,
                                               std::string& part) const {
  const std::size_t first = name.find('_');
  if (first == std::string_view::npos) return false;
  const std::size_t second = name.find('_', first + 1);
  if (second == std::string_view::npos) return false;
  language.assign(name.substr(0, first));
  part.assign(name.substr(first + 1, second - first - 1));
  return true;
}

std::string TTarvoResourceTranslator::OpenSource(const TTranslateSource& source) const {
  const std::optional<std::string_view> data = platform::FindResource(source.tag, source.name);
  if (!data) throw std::runtime_error("Resource \"" + source.name + "\" not found");
  return std::string(*data);
}

// --- the process-wide catalogue ----------------------------------------------

void SetTranslatorClass(TTarvoTranslatorClass translatorClass) {
  TranslatorClass() = translatorClass ? translatorClass : &CreateTranslatorOf<TTarvoFileTranslator>;
}

TTarvoTranslator& Translator() {
  std::unique_ptr<TTarvoTranslator>& instance = Instance();
  if (instance) return *instance;
  instance = TranslatorClass()();
  const std::optional<platform::LocaleInfo> system = platform::SystemDefaultLocale();
  instance->SetLanguage(system && !system->englishLanguageName.empty() ? system->englishLanguageName
                                                                       : "English");
  if (instance->FileCount() == 0) instance->SetLanguage("English");
  return *instance;
}

void FreeTranslator() {
  Instance().reset();
}

std::vector<std::string>& Priority() {
  static std::vector<std::string> priority;
  return priority;
}

std::string Translate(std::string_view section, std::string_view ident, std::string_view aDefault) {
  return Translator().Translate(section, ident, aDefault);
}

const std::string& Language() {
  return Translator().Language();
}

std::string TranslateFmt(std::string_view section, std::string_view ident,
                         std::string_view aDefault, const platform::FormatArgs& args) {
  const std::string pattern = Translate(section, ident, aDefault);
  try {
    return platform::Format(pattern, args);
  } catch (const platform::EFormatError&) {
    return platform::Format(Translator().Expand(aDefault), args);
  }
}

}  // namespace tarvo
