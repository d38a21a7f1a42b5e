#include "updater/ExtUtils.h"

#include <exception>
#include <utility>

#include "platform/core/CodePage.h"
#include "platform/core/DateTime.h"
#include "platform/core/Errors.h"
#include "platform/core/Format.h"
#include "platform/core/Paths.h"
#include "platform/core/Text.h"
#include "updater/FileSysInfo.h"

namespace tarvo::updater {

namespace pf = tarvo::platform;

std::string GetDataFolder(const std::string& title) {
  const std::string common = title.empty() ? std::string() : pf::CommonAppDataFolder();
  if (common.empty()) return pf::ExecutableFolder();
  std::string s = title;
  if (pf::SameText(pf::CodePointSlice(s, 0, 5), "TARVO"))
    s = pf::CodePointSlice(s, 5);
  else if (pf::SameText(pf::CodePointSlice(s, 0, 4), "ZOLN"))
    s = pf::CodePointSlice(s, 4);
  if (!s.empty()) {
    const std::string first = pf::UpperCase(pf::CodePointSlice(s, 0, 1));
    if (!(first.size() == 1 && first[0] >= 'A' && first[0] <= 'Z')) s = pf::CodePointSlice(s, 1);
  }
  s = pf::Trim(s);
  return pf::IncludeTrailingPathDelimiter(common) + "TARVO/" + s + "/";
}

// --- file creation -----------------------------------------------------------

TAnonymousFileStream::TAnonymousFileStream(const std::string& path, Mode mode) {
  if (!Open(path, mode)) {
    const std::uint32_t code = pf::GetLastError();
    const char* pattern =
        mode == Mode::CreateNew ? "Cannot create file \"%s\". %s." : "Cannot open file \"%s\". %s.";
    throw EFileStreamError(pf::Format(pattern, {path, pf::SysErrorMessage(code)}), code);
  }
}

// --- modification lists ------------------------------------------------------

std::vector<std::string> LoadListLines(const std::string& path, std::string* wholeText) {
  pf::DecodedText decoded = pf::LoadTextFile(path);
  std::vector<std::string> lines = pf::SplitLines(decoded.text);
  if (wholeText) *wholeText = std::move(decoded.text);
  return lines;
}

std::string FormatTargetCommand(const std::string& exeName, const std::string& exeArgs) {
  std::string quoted;
  for (char c : exeName) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return "\"" + quoted + "\" " + exeArgs;
}

void SaveListLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  // The list names files to copy and delete: a path that the ANSI code page
  // cannot hold would come back as another name. Such a list is written in
  // UTF-8 with its byte-order mark, which every reader of lists accepts.
  std::string bytes = pf::EncodeText(text, pf::TextEncoding::Ansi, false);
  if (pf::FromCodePage(bytes) != text) bytes = pf::EncodeText(text, pf::TextEncoding::Utf8, true);
  TAnonymousFileStream stream(path, pf::FileStream::Mode::CreateNew);
  if (!stream.Write(bytes) || !stream.Flush()) {
    const std::uint32_t code = pf::GetLastError();
    throw EFileStreamError(
        pf::Format("Cannot write file \"%s\". %s.", {path, pf::SysErrorMessage(code)}), code);
  }
}

// --- the log -----------------------------------------------------------------

namespace {

struct LogState {
  pf::FileStream stream;
  bool rollback = false;
};

LogState& TheLog() {
  static LogState state;
  return state;
}

const char* ModeWord(bool rollback) {
  return rollback ? "rollback" : "update";
}

bool EndsWithLineBreak(std::string_view s) {
  return !s.empty() && (s.back() == '\n' || s.back() == '\r');
}

}  // namespace

void OpenLog(const std::string& path, const std::string& title, bool rollback) {
  LogState& log = TheLog();
  log.stream.Close();
  log.rollback = rollback;
  try {
    std::string contents;
    if (pf::FileExists(path)) {
      auto old = pf::ReadFileBytes(path);
      if (!old) return;
      contents = std::move(*old);
      if (!contents.empty() && !EndsWithLineBreak(contents)) contents += "\r\n";
      pf::SetReadOnly(path, false);
      pf::SetHidden(path, false);
      // The earlier runs are written into a new file beside the log, which
      // then replaces it: a log that cannot be recreated keeps what it had.
      const std::string fresh = path + ".new";
      TAnonymousFileStream stream(fresh, pf::FileStream::Mode::CreateNew);
      contents += "\r\n\r\n\r\n";
      if (!stream.Write(contents) || !pf::RenameFile(fresh, path)) {
        stream.Close();
        pf::DeleteFile(fresh);
        return;
      }
      log.stream = std::move(stream);
    } else {
      const std::string folder = pf::ExtractFilePath(path);
      if (!folder.empty() && !pf::ForceDirectories(folder)) return;
      TAnonymousFileStream stream(path, pf::FileStream::Mode::CreateNew);
      if (!stream.Write("\r\n\r\n\r\n")) return;
      log.stream = std::move(stream);
    }
  } catch (const std::exception&) {
    log.stream.Close();
    return;
  }
  Log(pf::Format("========== %s %s begin ==========", {title, ModeWord(rollback)}));
}

void Log(std::string_view text) {
  LogState& log = TheLog();
  if (!log.stream.IsOpen()) return;
  try {
    std::string line = "[";
    line += pf::FormatDateTime("ddddd tt", pf::Now());
    line += "] ";
    line += text;
    line += "\r\n";
    if (!log.stream.Write(pf::ToCodePage(line))) log.stream.Close();
  } catch (const std::exception&) {
    log.stream.Close();
  }
}

void CloseLog() {
  LogState& log = TheLog();
  if (!log.stream.IsOpen()) return;
  Log(pf::Format("========== %s end ==========\r\n\r\n\r\n", {ModeWord(log.rollback)}));
  log.stream.Close();
}

bool LogIsOpen() {
  return TheLog().stream.IsOpen();
}

// --- product version ----------------------------------------------------------

std::string GetProductVersion(const std::string& folder) {
  const std::string where = folder.empty() ? pf::ExecutableFolder() : folder;
  for (const auto& entry : pf::ListFiles(where, "*Version*.pkgx")) {
    if (entry.isDirectory) continue;
    TFileVersionInfo info(pf::JoinPath(where, entry.name));
    return info.GetStringFileInfo(TVerInfoData::viFileVersion);
  }
  return {};
}

}  // namespace tarvo::updater
