// Addresses of the market-data service and the client's settings.
//
// TqdsURL holds an address as a template such as
// "/qds/history/engines/#/markets/#/dates.ext": a head (host, and the root
// segments "qds" and "history"), a path of controllers (engines, markets,
// board groups, boards, securities, dates) with their values, a format
// extension and a query. The data services fill the "#" placeholders with
// SetCtrl, add parameters with SetParam, and render the address for a request
// (GetAsString) and its path for the cache (GetURN).
//
// TQDSConfig holds the user's service settings, loads and saves them in the
// terminal's XML settings file and produces addresses for a script path.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qds/ttQDSPrimitives.h"
#include "qds/ttQDSSettingsStorage.h"

namespace tarvo {

// The range of answer versions a view understands.
struct TVers {
  std::int32_t LowestCompatible = 0;
  std::int32_t HighestCompatible = 0;
};

enum class TqdsDebugMode : std::uint8_t { idmNone, idm1, idmFull };

// Controller names by index, for SetCtrl and GetCtrl.
inline constexpr const char* ControllerNames[] = {"engines", "markets",    "boardgroups",
                                                  "boards",  "securities", "dates"};
inline constexpr int ctrlEngines = 0, ctrlMarkets = 1, ctrlBoardGroups = 2, ctrlBoards = 3,
                     ctrlSecurities = 4, ctrlDates = 5;

// One address of the service. Used by one thread at a time, except
// Assign, GetOutdated and SetOutdated, which take the lock all addresses
// share and may be called from any thread.
class TqdsURL {
 public:
  TqdsURL() = default;
  // Parses the template with SetQuerry. Descendants that change NormalizeCase
  // or RootController must call SetQuerry themselves after construction:
  // C++ calls this class's versions from its constructor.
  TqdsURL(std::string_view aQuerry, std::uint32_t aPort);
  virtual ~TqdsURL() = default;
  TqdsURL(const TqdsURL&) = delete;
  TqdsURL& operator=(const TqdsURL&) = delete;

  // Replaces the address by the parsed template: head and port, controllers
  // with their values (lower case; a value made only of "%XX" groups is
  // decoded in the system ANSI code page), extension (".xml" unless a
  // controller carries one, as in "#.ext"), "qds.meta", "qds.only", "debug"
  // and the other parameters of the query. Throws EQDSException
  // "Unknown QDS param: \"%s\"" for any other "qds." name, and for a port
  // that is not one.
  void SetQuerry(std::string_view aQuerry);

  // Sets the value of the controller with that index (0..5, else
  // EQDSException), appending it when missing. An address names either a
  // board or a board group: setting one removes the other, and a missing one
  // takes the place of the other.
  void SetCtrl(int Index, std::string_view Value);
  // The value of the controller with that index; empty when it is missing.
  std::string GetCtrl(int Index) const;

  // Sets a query parameter (names compare ignoring case). The value's text is
  // trimmed; "&" is written "%26", and "#", blanks and control characters
  // are percent-encoded too, so that a value can never end the query or the
  // address early. A new name with an empty value adds nothing; an existing
  // name keeps an empty value, which the address leaves out.
  void SetParam(std::string_view Name, const TQDSVariant& Value);
  // The stored (encoded) text of a parameter; null when there is none.
  TQDSVariant GetParam(std::string_view Name) const;

  // The address without scheme: head, path, extension and query.
  std::string GetAsString() const;
  // The path only, beginning with "/".
  std::string GetURN() const;
  // The service's own parameters: the version, "qds.meta=on|off",
  // "qds.only=..." and "debug=1|full", joined with "&".
  virtual std::string GetScriptParams() const;

  // Copies head, parameters, controllers with values, meta, only, port,
  // extension and supported versions, and clears Outdated; under the lock.
  void Assign(const TqdsURL& Source);
  bool GetOutdated() const;
  void SetOutdated(bool Value);
  TqdsDebugMode GetDebug() const noexcept { return fDebug; }
  // True when HighestCompatible > 0 and the process configuration does not
  // ignore versions.
  virtual bool GetVersionIsUsed() const;
  // "qds.version=%d" with HighestCompatible, or empty.
  std::string GetVersionStr() const;

  // How path segments are read: in lower case here.
  virtual std::string NormalizeCase(std::string_view Text) const;
  // True for the root segments "qds" and "history".
  virtual bool RootController(std::string_view Name) const;

  // The one lock of all addresses.
  static void Lock();
  static void Unlock();

  const std::string& Querry() const noexcept { return fQuerry; }
  std::uint32_t Port() const noexcept { return fPort; }
  void SetPort(std::uint32_t Value) noexcept { fPort = Value; }
  bool Meta() const noexcept { return fMeta; }
  void SetMeta(bool Value) noexcept { fMeta = Value; }
  const std::string& Only() const noexcept { return fOnly; }
  void SetOnly(std::string Value) { fOnly = std::move(Value); }
  void SetDebug(TqdsDebugMode Value) noexcept { fDebug = Value; }
  const std::string& Extension() const noexcept { return fExtension; }
  void SetExtension(std::string Value) { fExtension = std::move(Value); }
  TVers SupportedVer() const noexcept { return fSupportedVer; }
  void SetSupportedVer(TVers Value) noexcept { fSupportedVer = Value; }
  const std::vector<std::string>& Controllers() const noexcept { return fControllers; }
  const std::vector<std::string>& ControllerValues() const noexcept { return fControllerValues; }

 private:
  void AddController(const std::string& Name, std::string Value);
  std::ptrdiff_t ControllerIndex(std::string_view Name) const;
  std::ptrdiff_t ParamIndex(std::string_view Name) const;
  std::string RenderPath() const;

  std::string fQuerry;
  std::vector<std::pair<std::string, std::string>> fParams;  // name, value
  bool fMeta = false;
  std::string fOnly;
  std::uint32_t fPort = 0;
  TqdsDebugMode fDebug = TqdsDebugMode::idmNone;
  std::string fExtension = ".xml";
  TVers fSupportedVer;
  bool fOutdated = false;
  std::vector<std::string> fControllers;
  std::vector<std::string> fControllerValues;
};

// --- settings --------------------------------------------------------------------------

// How requests authenticate.
enum class TQDSLogon : std::uint8_t { lAnonymous, lBasic, lSpecific };

// Deployment addresses. The obsolete ones are replaced when settings are read.
inline constexpr const char* Default_QDSHost = "qds.tarvo-trade.example";
inline constexpr const char* Obsolete_QDSHost[] = {"iss.tarvo-trade.example",
                                                   "qds-old.tarvo-trade.example"};
inline constexpr const char* Default_Passport = "passport.tarvo-trade.example/authenticate";
inline constexpr const char* Obsolete_Passport[] = {"passport.tarvo-trade.example/login",
                                                    "auth.tarvo-trade.example/authenticate"};
inline constexpr bool Default_UseQDS = false;
inline constexpr std::uint32_t Default_QDSPort = 80;
inline constexpr TQDSLogon Default_LogonType = TQDSLogon::lBasic;
inline constexpr const char* Default_SpecUser = "";
inline constexpr const char* Default_SpecPassw = "";

// Bytes of the stored password fields: "SpecPassword" and the older "SpecPassw".
inline constexpr std::size_t SpecPasswordBytes = 127;
inline constexpr std::size_t SpecPasswBytes = 10;

// The special password as stored: upper-case hexadecimal of N bytes, each the
// XOR of the password's UTF-8 bytes padded with blanks to N, the host's bytes
// repeated (no contribution from an empty host), and a byte of the library's
// key table "Bulk" starting at the sum of the user name's bytes (without the
// last one) modulo 512. Throws EQDSException when the password has more than
// N bytes: it would not survive the trip.
std::string ScramblePassword(std::string_view Password, std::string_view Host,
                             std::string_view User, std::size_t N = SpecPasswordBytes);
// The reverse, with the padding blanks removed from the end; nullopt when
// the text is not 2N hexadecimal digits.
std::optional<std::string> UnscramblePassword(std::string_view Stored, std::string_view Host,
                                              std::string_view User,
                                              std::size_t N = SpecPasswordBytes);

// The settings of a web service, stored in an XML settings file whose root
// element carries "enabled" and "Host", an authentication element the
// account, and the child "Options" everything else.
//
// Setters apply the limits (threads at least 1, failures at least 10,
// interval 5..3600 seconds, an empty host takes the default) and set
// Changed() when the value changes. Host and port are read and written under
// Lock(); the other fields belong to the user-interface thread.
class TWebServiceConfig {
 public:
  // Defaults are this class's; descendants reset them in their constructor.
  TWebServiceConfig(std::string aFileName, std::string aRootName = "QDS");
  virtual ~TWebServiceConfig() = default;
  TWebServiceConfig(const TWebServiceConfig&) = delete;
  TWebServiceConfig& operator=(const TWebServiceConfig&) = delete;

  // Copies every field of this class into Dest (and marks Dest changed where
  // a value differs).
  virtual void AssignTo(TWebServiceConfig& Dest) const;
  // Reads the settings file. A file that cannot be read, or has no root
  // element, gives the defaults; an attribute that is missing or does not
  // read as its type takes its default, the others keep what is stored.
  virtual void Load();
  // Writes the settings into the document and the document to the file.
  // Throws EQDSException when the file cannot be written.
  virtual void Save();
  // The element that holds the authentication attributes (none here: this
  // class keeps no account).
  virtual pugi::xml_node AuthorizationNode(pugi::xml_node Node);
  virtual bool GetIgnoreVer() const;
  virtual bool GetDefaultEnabled() const { return false; }
  virtual std::string GetDefaultHost() const { return {}; }
  virtual int GetDefaultInterval() const { return 15; }
  virtual bool GetDefaultCaching() const { return false; }
  virtual int GetDefaultMaxFails() const { return 10; }
  virtual std::uint32_t GetDefaultPort() const { return Default_QDSPort; }
  virtual int GetDefaultThreads() const { return 2; }

  void Lock() const { fGuard.lock(); }
  void Unlock() const { fGuard.unlock(); }

  bool Enabled() const noexcept { return fEnabled; }
  void SetEnabled(bool Value);
  std::string Host() const;
  void SetHost(std::string Value);
  std::uint32_t Port() const;
  void SetPort(std::uint32_t Value);
  TQDSLogon Logon() const noexcept { return fLogon; }
  void SetLogon(TQDSLogon Value);
  const std::string& SpecUser() const noexcept { return fSpecUser; }
  void SetSpecUser(std::string Value);
  const std::string& SpecPassw() const noexcept { return fSpecPassw; }
  // Throws EQDSException for a password of more than SpecPasswordBytes bytes.
  void SetSpecPassw(std::string Value);
  int Threads() const noexcept { return fThreads; }
  void SetThreads(int Value);
  const std::string& Passport() const noexcept { return fPassport; }
  void SetPassport(std::string Value);
  bool IgnoreVer() const { return GetIgnoreVer(); }
  void SetIgnoreVer(bool Value);
  int MaxFails() const noexcept { return fMaxFails; }
  void SetMaxFails(int Value);
  int Interval() const noexcept { return fInterval; }
  void SetInterval(int Value);
  bool Caching() const noexcept { return fCaching; }
  void SetCaching(bool Value);
  bool Secured() const noexcept { return fSecured; }
  void SetSecured(bool Value);
  bool IgnoreCertCN() const noexcept { return fIgnoreCertCN; }
  void SetIgnoreCertCN(bool Value);
  bool IgnoreCertDate() const noexcept { return fIgnoreCertDate; }
  void SetIgnoreCertDate(bool Value);
  bool IgnoreCertRevocation() const noexcept { return fIgnoreCertRevocation; }
  void SetIgnoreCertRevocation(bool Value);
  bool Changed() const noexcept { return fChanged; }
  void SetChanged(bool Value) noexcept { fChanged = Value; }

  TSettingsStorage& Storage() noexcept { return fStorage; }
  const std::string& FileName() const noexcept { return fStorage.GetFilePath(); }

 protected:
  // Every field of this class to its default (through the virtual defaults).
  void ResetToDefaults();
  // Reads this class's fields from the storage's document as Load does after
  // loading it; Readable false (the file could not be read) gives the
  // defaults.
  void ReadDocument(bool Readable);
  template <class T>
  void Assign(T& field, T value) {
    if (field != value) {
      field = std::move(value);
      fChanged = true;
    }
  }

  TSettingsStorage fStorage;
  bool fEnabled = false;
  std::string fHost;
  std::uint32_t fPort = Default_QDSPort;
  TQDSLogon fLogon = Default_LogonType;
  std::string fSpecUser;
  std::string fSpecPassw;
  int fThreads = 2;
  std::string fPassport = Default_Passport;
  std::atomic<bool> fIgnoreVer{false};
  int fMaxFails = 10;
  int fInterval = 15;
  bool fCaching = false;
  bool fSecured = true;
  bool fIgnoreCertCN = false;
  bool fIgnoreCertDate = false;
  bool fIgnoreCertRevocation = false;
  bool fChanged = false;
  mutable std::recursive_mutex fGuard;
};

// The QDS client's settings: the service settings plus the limits of the
// data views, in the settings file's root element "QDS".
class TQDSConfig : public TWebServiceConfig {
 public:
  // A configuration on the settings file; GlobalsXML (may be nullptr) holds
  // system-wide defaults: its element "QDS" is copied into a missing settings
  // file by Load. Creating one switches the process-wide use of board groups
  // on, unless the terminal's trade engine is futures or commodity.
  TQDSConfig(std::string aFileName, const pugi::xml_document* aGlobalsXML);

  // Also copies the limits of the data views into another TQDSConfig.
  void AssignTo(TWebServiceConfig& Dest) const override;
  // As TWebServiceConfig::Load, then: obsolete hosts replaced, "Version",
  // the options of the data views and the forbidden boards (children of
  // "Forbidden"); before settings version 2, ShowIfaxNews is forced on.
  void Load() override;
  // Writes "Version" 2, the options of the data views (HistLimit included)
  // and the forbidden boards, then the service settings, then the file.
  void Save() override;
  // The child "Authorization".
  pugi::xml_node AuthorizationNode(pugi::xml_node Node) override;
  bool GetDefaultEnabled() const override { return Default_UseQDS; }
  std::string GetDefaultHost() const override { return Default_QDSHost; }
  bool GetDefaultCaching() const override { return true; }

  // A new address for the host followed by Script, on the configured port,
  // asking for the given versions, with extension ".json". The caller owns it.
  std::unique_ptr<TqdsURL> ProduceURL(std::string_view Script, TVers SupportedVersions) const;

  bool LimitBand() const noexcept { return fLimitBand; }
  void SetLimitBand(bool Value);
  int LmtValue() const noexcept { return fLmtValue; }
  void SetLmtValue(int Value);
  std::uint32_t HistLimit() const noexcept { return fHistLimit; }
  // Values below 1000 become 1000.
  void SetHistLimit(std::uint32_t Value);
  const std::string& DefSEIndx() const noexcept { return fDefSEIndx; }
  void SetDefSEIndx(std::string Value);
  const std::string& DefTIIndx() const noexcept { return fDefTIIndx; }
  void SetDefTIIndx(std::string Value);
  bool ShowYieldsMBS() const noexcept { return fShowYieldsMBS; }
  void SetShowYieldsMBS(bool Value);
  bool ShowIfaxNews() const noexcept { return fShowIfaxNews; }
  void SetShowIfaxNews(bool Value);
  std::uint32_t Version() const noexcept { return fVersion; }

  // Boards the client never asks about.
  std::vector<std::string> ForbiddenBoards = DefaultForbiddenBoards();
  static std::vector<std::string> DefaultForbiddenBoards() { return {"DEPZ", "CBCR", "DPVB"}; }

 private:
  void ResetViewDefaults();

  const pugi::xml_document* fGlobalsXML;
  bool fLimitBand = false;
  int fLmtValue = 32;
  std::uint32_t fHistLimit = 2000000;
  std::string fDefSEIndx = "TARVOINDEXCF";
  std::string fDefTIIndx = "RGBI";
  bool fShowYieldsMBS = true;
  bool fShowIfaxNews = true;
  std::uint32_t fVersion = 1;
};

// The configuration class to create: a factory taking the settings file and
// the system-wide defaults (may be nullptr). Default: a TQDSConfig.
using TQDSConfigClass = std::unique_ptr<TWebServiceConfig> (*)(
    const std::string& FileName, const pugi::xml_document* GlobalsXML);
extern std::atomic<TQDSConfigClass> QDSConfigClass;
// The one configuration of the process, used by every address for its
// version rule. Not owned here: whoever creates the process's configuration
// sets it and clears it before freeing it.
extern std::atomic<TWebServiceConfig*> QDSSettingsInstance;

}  // namespace tarvo
