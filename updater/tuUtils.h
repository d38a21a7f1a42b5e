// The updater's run-wide state and the helpers every step uses: the command
// line, the texts (Tr), the message-box wrapper (MsgBox), product discovery
// (FindProductTitle) and the running check (IsAppRunning).
//
// Threads: the updater runs on one thread; the globals below have no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Format.h"
#include "platform/system/MessageQueue.h"

namespace tarvo::updater {

// --- globals of the run -------------------------------------------------------

extern bool RollbackMode;          // switch "rollback"
extern bool TestMode;              // "version.dat" exists in UpdaterFolder
extern std::string BoxCaption;     // "Orvanta Update" / "Orvanta Rollback"
extern std::string UpdaterFolder;  // own folder, trailing "/"
extern std::string DataFolder;     // per-product data folder, trailing "/"
extern std::string FileListPath;   // DataFolder + "Update/" or "Rollback/" + "FileList.$$$"
extern int ShieldButton;           // button of the box that shows the shield; 0: none

// --- command line --------------------------------------------------------------

// The process's parameters, [0] being the program. Set once by the program's
// main before anything else runs.
void SetCommandLine(std::vector<std::string> params);
const std::vector<std::string>& CommandLine();

// A switch is a parameter "-name" or "/name", the name compared ignoring case.
// Presence looks at every parameter.
bool FindCmdLineSwitch(std::string_view name);
// The parameter after the switch. Only parameters 1 ... count-1 are looked at
// as the switch, so a switch in the last position has no value (empty).
std::string GetCmdLineSwitchValue(std::string_view name);
// Removes one level of enclosing double quotes; doubled quotes inside become
// single ("\"a \"\"b\"\"\"" gives "a \"b\""). A text not starting with a quote
// is returned as it is.
std::string DequotedStr(std::string_view s);

// --- texts and boxes ------------------------------------------------------------

// The text of a key of section "tvu" in the translator's language, with the
// English default of updater/tuTexts.h; formatted with args. A key that is
// not one of the updater's texts is a programming error (std::logic_error).
std::string Tr(std::string_view ident, const platform::FormatArgs& args = {});

// The log names of a box: "MB_ICONERROR" ... or "0x%x" of the icon bits,
// "MB_OK" ... or "0x%x" of the button bits, "IDOK" ... or "0x%x" of a result.
std::string IconName(std::uint32_t flags);
std::string ButtonsName(std::uint32_t flags);
std::string ResultName(int result);

// Shows a message box through the platform's dialog service with BoxCaption,
// the flags plus MB_SETFOREGROUND and the language of the translator's
// locale; shield names the button with the elevation shield (-1: none). Logs
// "MsgBox(<icon> + <buttons>, \"<text>\"): <result>" and returns the pressed
// button, 0 when the box could not be shown.
int MsgBox(platform::WindowHandle owner, const std::string& text, std::uint32_t flags,
           int shield = -1);

// --- product discovery ------------------------------------------------------------

// The title of the Orvanta product whose executable lies in folder (default
// UpdaterFolder): "*trade*.exe" first (only the first match in name order),
// then every "*.exe" in name order until one gives a title; empty when none.
// An executable counts when its CompanyName is "TARVO" or "Orvanta" and its
// InternalName is neither "TarvoUpdater" nor "TarvoUHelper"; its ProductName
// is the title, except "TARVO Trade" and "DULM Trade", which give a title made
// from the file name ("TarvoTrade.exe" gives "TARVO Trade ").
std::string FindProductTitle(const std::string& folder = {});

// The title built from a file name for the products named "TARVO Trade" or
// "DULM Trade"; empty when the name holds neither "trade", "tarvo" nor "dulm".
std::string TitleFromFileName(const std::string& fileName);

// Empties the text between the last ")" and the last "(" before it:
// "TARVO Trade (test)" gives "TARVO Trade ()".
std::string StripParenContent(const std::string& title);

// Whether the product is running: first a top-level window of class
// "TApplication" whose title (parentheses emptied) ends with the title
// (parentheses emptied) ignoring case, then the named mutex title + "_Mtx".
// Each check is repeated every 100 ms while it finds the product and less
// than timeoutMs has passed since the call; with 0 each runs once.
bool IsAppRunning(const std::string& title, std::uint32_t timeoutMs);

}  // namespace tarvo::updater
