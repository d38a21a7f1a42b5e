// verstamp: writes the version resource of a file from command-line values.
//
//   verstamp [options] <file>
//
//   --company TEXT          CompanyName
//   --internal-name TEXT    InternalName
//   --product-name TEXT     ProductName
//   --file-version TEXT     FileVersion; "a.b.c.d" also fills the numeric version
//   --product-version TEXT  ProductVersion; "a.b.c.d" also fills the numeric one
//   --description TEXT      FileDescription
//   --string KEY=VALUE      any other string (repeatable; later ones win)
//   --flags LIST            comma-separated: debug, prerelease, patched,
//                           privatebuild, infoinferred, specialbuild, or a number
//   --file-type TYPE        app, dll or a number (default app)
//   --build-time TIME       "yyyy-mm-dd hh:nn:ss" (UTC, stored as given) or "now"
//   --translation LANG:CP   hexadecimal language id and code page, e.g. 0409:04B0
//                           (repeatable; the first names the string table;
//                           default 0409:04B0); "none" stores no translation table
//   --remove                remove the version resource instead
//   --print                 print the version resource of the file and change nothing
//
// The stamp replaces any stamp the file had. Exit code 0 on success, 1 on a
// failure (reason on standard error), 2 on a bad command line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/DateTime.h"
#include "platform/core/Errors.h"
#include "platform/core/Format.h"
#include "platform/core/VersionInfo.h"

using namespace tarvo::platform;

namespace {

int Usage(const std::string& why) {
  std::fprintf(stderr,
               "verstamp: %s\nusage: verstamp [options] <file> (see the source for options)\n",
               why.c_str());
  return 2;
}

bool ParseNumber(std::string_view s, int base, std::uint32_t& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  const std::string copy(s);
  const unsigned long long v = std::strtoull(copy.c_str(), &end, base);
  if (*end != '\0' || v > 0xFFFFFFFFull || copy[0] == '-') return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

// "a.b.c.d" (missing parts are 0) into the two 32-bit halves.
bool ParseVersion(std::string_view s, std::uint32_t& ms, std::uint32_t& ls) {
  std::uint32_t parts[4] = {0, 0, 0, 0};
  std::size_t i = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = s.find('.', start);
    const std::string_view piece =
        s.substr(start, dot == std::string_view::npos ? s.npos : dot - start);
    if (i >= 4 || !ParseNumber(piece, 10, parts[i]) || parts[i] > 0xFFFF) return false;
    ++i;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  ms = (parts[0] << 16) | parts[1];
  ls = (parts[2] << 16) | parts[3];
  return true;
}

bool ParseFlags(std::string_view list, std::uint32_t& flags) {
  static const std::map<std::string, std::uint32_t> names = {{"debug", VS_FF_DEBUG},
                                                             {"prerelease", VS_FF_PRERELEASE},
                                                             {"patched", VS_FF_PATCHED},
                                                             {"privatebuild", VS_FF_PRIVATEBUILD},
                                                             {"infoinferred", VS_FF_INFOINFERRED},
                                                             {"specialbuild", VS_FF_SPECIALBUILD}};
  flags = 0;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = list.find(',', start);
    const std::string item(
        list.substr(start, comma == std::string_view::npos ? list.npos : comma - start));
    if (!item.empty()) {
      std::uint32_t v = 0;
      if (auto it = names.find(item); it != names.end())
        flags |= it->second;
      else if (ParseNumber(item, 0, v))
        flags |= v;
      else
        return false;
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return true;
}

bool ParseBuildTime(const std::string& s, std::uint64_t& fileTime) {
  double value = 0;
  if (s == "now") {
    value = NowUTC();
  } else {
    CivilTime t;
    char extra = 0;
    if (std::sscanf(s.c_str(), "%d-%d-%d %d:%d:%d%c", &t.year, &t.month, &t.day, &t.hour, &t.minute,
                    &t.second, &extra) != 6 ||
        !TryEncodeDateTime(t, value))
      return false;
  }
  const auto ft = DateTimeToFileTime(value);
  if (!ft) return false;
  fileTime = *ft;
  return true;
}

std::string Hex4(std::uint32_t v) {
  return Format("%.4x", {v});
}

int Print(const std::string& path) {
  const auto res = GetFileVersionInfo(path);
  if (!res) {
    const std::uint32_t code = GetLastError();
    std::printf("%s: no version information%s\n", path.c_str(),
                code ? (" (" + SysErrorMessage(code) + ")").c_str() : "");
    return 0;
  }
  if (const auto f = VerQueryFixedInfo(*res)) {
    std::printf("FileVersion (fixed): %u.%u.%u.%u\n", f->fileVersionMS >> 16,
                f->fileVersionMS & 0xFFFF, f->fileVersionLS >> 16, f->fileVersionLS & 0xFFFF);
    std::printf("FileFlags: 0x%X\nFileType: %u\n", f->fileFlags, f->fileType);
    const std::uint64_t ft = (static_cast<std::uint64_t>(f->fileDateMS) << 32) | f->fileDateLS;
    if (const auto dt = FileTimeToDateTime(ft); dt && ft != 0)
      std::printf("BuildTime: %s\n", FormatDateTime("yyyy-mm-dd hh:nn:ss", *dt).c_str());
  }
  const auto tr = VerQueryValue(*res, "\\VarFileInfo\\Translation");
  if (tr && tr->size() >= 4) {
    const auto lang = static_cast<std::uint32_t>(static_cast<unsigned char>((*tr)[0]) |
                                                 (static_cast<unsigned char>((*tr)[1]) << 8));
    const auto cp = static_cast<std::uint32_t>(static_cast<unsigned char>((*tr)[2]) |
                                               (static_cast<unsigned char>((*tr)[3]) << 8));
    const std::string table = Hex4(lang) + Hex4(cp);
    std::printf("Translation: %s\n", table.c_str());
    for (const char* key : {"CompanyName", "InternalName", "ProductName", "FileVersion",
                            "ProductVersion", "FileDescription"}) {
      if (auto v = VerQueryString(*res, "\\StringFileInfo\\" + table + "\\" + key))
        std::printf("%s: %s\n", key, v->c_str());
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    VersionInfoData data;
    std::map<std::string, std::string> strings;
    std::vector<std::string> order;  // keys in the order first given
    auto setString = [&](const std::string& key, const std::string& value) {
      if (!strings.count(key)) order.push_back(key);
      strings[key] = value;
    };
    std::vector<std::uint32_t> translations;
    bool noTranslation = false, remove = false, print = false;
    std::string file;

    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
      if (arg == "--remove") {
        remove = true;
      } else if (arg == "--print") {
        print = true;
      } else if (arg.rfind("--", 0) == 0) {
        const char* v = value();
        if (!v) return Usage("option " + arg + " needs a value");
        const std::string text = v;
        if (arg == "--company")
          setString("CompanyName", text);
        else if (arg == "--internal-name")
          setString("InternalName", text);
        else if (arg == "--product-name")
          setString("ProductName", text);
        else if (arg == "--description")
          setString("FileDescription", text);
        else if (arg == "--file-version" || arg == "--product-version") {
          const bool fileVer = arg == "--file-version";
          setString(fileVer ? "FileVersion" : "ProductVersion", text);
          std::uint32_t ms = 0, ls = 0;
          if (ParseVersion(text, ms, ls)) {
            (fileVer ? data.fixed.fileVersionMS : data.fixed.productVersionMS) = ms;
            (fileVer ? data.fixed.fileVersionLS : data.fixed.productVersionLS) = ls;
          }
        } else if (arg == "--string") {
          const std::size_t eq = text.find('=');
          if (eq == std::string::npos || eq == 0) return Usage("--string needs KEY=VALUE");
          setString(text.substr(0, eq), text.substr(eq + 1));
        } else if (arg == "--flags") {
          if (!ParseFlags(text, data.fixed.fileFlags)) return Usage("bad --flags " + text);
        } else if (arg == "--file-type") {
          if (text == "app")
            data.fixed.fileType = 1;
          else if (text == "dll")
            data.fixed.fileType = 2;
          else if (!ParseNumber(text, 0, data.fixed.fileType))
            return Usage("bad --file-type " + text);
        } else if (arg == "--build-time") {
          std::uint64_t ft = 0;
          if (!ParseBuildTime(text, ft)) return Usage("bad --build-time " + text);
          data.fixed.fileDateMS = static_cast<std::uint32_t>(ft >> 32);
          data.fixed.fileDateLS = static_cast<std::uint32_t>(ft & 0xFFFFFFFFu);
        } else if (arg == "--translation") {
          if (text == "none") {
            noTranslation = true;
            continue;
          }
          const std::size_t colon = text.find(':');
          std::uint32_t lang = 0, cp = 0;
          if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), 16, lang) ||
              !ParseNumber(text.substr(colon + 1), 16, cp) || lang > 0xFFFF || cp > 0xFFFF)
            return Usage("bad --translation " + text);
          translations.push_back(lang | (cp << 16));
        } else {
          return Usage("unknown option " + arg);
        }
      } else if (file.empty()) {
        file = arg;
      } else {
        return Usage("more than one file given");
      }
    }
    if (file.empty()) return Usage("no file given");
    if (print) return Print(file);
    if (remove) {
      if (!RemoveFileVersionInfo(file)) {
        std::fprintf(stderr, "verstamp: cannot change \"%s\": %s\n", file.c_str(),
                     SysErrorMessage(GetLastError()).c_str());
        return 1;
      }
      return 0;
    }

    if (translations.empty()) translations.push_back(0x0409 | (0x04B0u << 16));
    VersionInfoData::StringTable table;
    table.name = Hex4(translations[0] & 0xFFFF) + Hex4(translations[0] >> 16);
    for (const auto& key : order) table.strings.emplace_back(key, strings[key]);
    data.tables.push_back(std::move(table));
    if (!noTranslation) data.translations = translations;

    const std::string resource = BuildVersionResource(data);
    if (!WriteFileVersionInfo(file, resource)) {
      std::fprintf(stderr, "verstamp: cannot stamp \"%s\": %s\n", file.c_str(),
                   SysErrorMessage(GetLastError()).c_str());
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "verstamp: %s\n", e.what());
    return 1;
  }
}
