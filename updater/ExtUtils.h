// The updater's data folder, its files and its log.
//
// The terminal and the updater meet in a per-product data folder under the
// common application-data folder (shared by all users):
//
//   <common>/TARVO/<product>/Update/FileList.$$$    new files and their list
//   <common>/TARVO/<product>/Rollback/FileList.$$$  backup of the last update
//   <common>/TARVO/<product>/update.log             log of every run
//   <common>/TARVO/<product>/whatsnew.txt           programs an update changed
//
// The log and the lists the updater writes are in the system ANSI code page
// (platform/core/CodePage.h); lists are read by byte-order mark, else ANSI.
//
// Threads: the updater runs on one thread; the log is process-wide state and
// has no lock.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Files.h"

namespace tarvo::updater {

// The data folder of a product title, with a trailing "/":
//   - an empty title, or no common application-data folder: the updater's
//     own folder (platform::ExecutableFolder());
//   - otherwise the title without a leading "TARVO" (or else "ZOLN"), ignoring
//     case, without one leading character that is not a Latin letter, trimmed:
//     <common>/TARVO/<that>/ ("TARVO Trade " gives <common>/TARVO/Trade/; a
//     title of "TARVO" alone gives <common>/TARVO// and is left so).
std::string GetDataFolder(const std::string& title);

// --- file creation -----------------------------------------------------------

// Raised by TAnonymousFileStream: "Cannot create file \"%s\". %s" or
// "Cannot open file \"%s\". %s" with the full path and the system's text.
class EFileStreamError : public std::runtime_error {
 public:
  EFileStreamError(const std::string& message, std::uint32_t code)
      : std::runtime_error(message), fCode(code) {}
  std::uint32_t Code() const noexcept { return fCode; }

 private:
  std::uint32_t fCode;
};

// The updater's file stream. Created with Mode::CreateNew it follows the file
// creation rule of every file the updater makes in the shared data folder
// (platform::FileStream::CreateNew: an existing file is deleted, the new one is
// made exclusively with mode 0644 - never world-writable, so that no other
// local user can plant content that a later run would trust). Other modes open
// an existing file. Throws EFileStreamError when the file cannot be created or
// opened; the stream is then not usable.
class TAnonymousFileStream : public platform::FileStream {
 public:
  TAnonymousFileStream(const std::string& path, Mode mode);
};

// --- modification lists ------------------------------------------------------

// Reads a list (or any text file the updater reads) as lines: a byte-order
// mark selects UTF-8 or UTF-16, otherwise the system ANSI code page; lines end
// at CR LF, LF or CR. Throws platform::ECodePageError when the file cannot be
// read; the message names the file.
std::vector<std::string> LoadListLines(const std::string& path, std::string* wholeText = nullptr);

// The target command line of a list: "\"path\" args" (always quoted, one blank
// even without arguments; a double quote inside the path is doubled).
std::string FormatTargetCommand(const std::string& exeName, const std::string& exeArgs);

// Writes lines with CR LF after every line, the last included, in the system
// ANSI code page without byte-order mark, through the file creation rule.
// Throws EFileStreamError (or platform::ECodePageError for an unknown code
// page) on failure.
void SaveListLines(const std::string& path, const std::vector<std::string>& lines);

// --- the log -----------------------------------------------------------------

// Opens the run's log "update.log" at path for the product title. An existing
// log keeps its contents byte for byte (rewritten through the creation rule,
// so that its access rights are the updater's) and gets three line breaks and
// the line "========== <title> update|rollback begin ==========". A log that
// does not exist is created with its folders. Any failure leaves the log
// closed for the rest of the run and is not reported. rollback chooses the
// word used here and by CloseLog.
void OpenLog(const std::string& path, const std::string& title, bool rollback);

// Appends "[<local date and time>] <text>\r\n" in the system ANSI code page
// (characters it cannot hold become its substitute character) when the log is
// open. A write error closes the log for the rest of the run.
void Log(std::string_view text);

// Logs "========== update|rollback end ==========\r\n\r\n\r\n" and closes the
// log. Nothing when it is not open.
void CloseLog();

// True while the log is open.
bool LogIsOpen();

// --- product version ----------------------------------------------------------

// The FileVersion string of the first file (in name order) in the updater's
// folder whose name matches "*Version*.pkgx"; "FileVersion" when that file has
// version information without that string; empty when there is no such file or
// it has no version information. folder defaults to the updater's own folder.
std::string GetProductVersion(const std::string& folder = {});

}  // namespace tarvo::updater
