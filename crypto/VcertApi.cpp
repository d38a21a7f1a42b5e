#include "crypto/VcertApi.h"

#include <cstring>

#include "platform/core/CodePage.h"
#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Format.h"
#include "platform/core/Paths.h"
#include "platform/core/Text.h"

namespace tarvo {

namespace {

// The first "С" of "СSP" is the Cyrillic letter: users and support scripts
// search for the text as it has always been shown.
constexpr const char* kLoadErrorText =
    "Failed to load \xD0\xA1SP Validata library \"%s\" (%s) or one of its components. Error %d: %s";
constexpr const char* kEntryPointErrorText =
    "Entry point \"%s\" is not found in CSP Validata library \"%s\".";

bool InSessionGroup(int i) {
  return i >= kVcertSessionFirst && i <= kVcertSessionLast;
}

bool IsOptional(int i, bool v5, bool v6, bool cryptoServer) {
  if (i == veSetAuthData || i == veAuthorize) return true;
  if (!v5 && i >= kVcertV5First && i <= kVcertV5Last) return true;
  if (!v6 && i >= kVcertV6First && i <= kVcertV6Last) return true;
  if (cryptoServer) {
    switch (i) {
      case veShowCertificate:
      case veUpdateCRLs:
      case veEncodeMem:
      case veDecodeMem:
      case veShowCrl:
      case veGetErrorLineEx:
        return true;
      default:
        return i >= veGetErrorLine && i <= veConnectionCtrl;
    }
  }
  return false;
}

std::string ExportName(int i) {
  return std::string(kVcertExportPrefix) + kVcertEntryNames[i];
}

}  // namespace

void RaiseVcertLoadError(const std::string& dllName, std::uint32_t errorCode) {
  throw EVcertLoadError(platform::Format(kLoadErrorText, {platform::ExtractFileName(dllName), "x86",
                                                          static_cast<long long>(errorCode),
                                                          platform::SysErrorMessage(errorCode)}),
                        errorCode, "TVCERTApi.Create");
}

void RaiseVcertEntryPointError(const std::string& exportName, const std::string& dllName) {
  throw EVcertLoadError(platform::Format(kEntryPointErrorText, {exportName, dllName}),
                        platform::ERROR_PROC_NOT_FOUND, "TVCERTApi.Create");
}

bool TVCERTApi::Available(const std::string& aDllName) {
  if (aDllName.empty()) return false;
  return platform::FileExists(platform::JoinPath(platform::SystemFolder(), aDllName));
}

TVCERTApi::TVCERTApi(bool aCryptoServer, const std::string& aDllName,
                     const std::string& aAuxilaryDll)
    : fDllName(aDllName), fSecConnDllName(aAuxilaryDll), fCryptoServer(aCryptoServer) {
  if (!fMain.Load(platform::JoinPath(platform::SystemFolder(), aDllName)))
    RaiseVcertLoadError(aDllName, platform::GetLastError());

  fSupportsV5 = fMain.FindSymbol("VCERT_EncryptMem") != nullptr;
  fSupportsV6 = !fSupportsV5 || fMain.FindSymbol("VCERT_CmsBlkEncryptMem") != nullptr;

  bool sessionInMain = false;
  bool secConnTried = false;
  for (int i = 0; i < kVcertEntryCount; ++i) {
    const std::string name = ExportName(i);
    if (void* p = fMain.FindSymbol(name.c_str())) {
      fProcs[i] = p;
      if (InSessionGroup(i)) sessionInMain = true;
      continue;
    }
    if (IsOptional(i, fSupportsV5, fSupportsV6, fCryptoServer)) {
      if (InSessionGroup(i)) sessionInMain = true;
      continue;
    }
    if (!InSessionGroup(i) || sessionInMain || aAuxilaryDll.empty())
      RaiseVcertEntryPointError(name, aDllName);
    if (!secConnTried) {
      secConnTried = true;
      // The secure-connection library ships beside this wrapper, not in the
      // system folder: find our own folder from one of our own functions.
      const std::string self =
          platform::ModulePathOf(reinterpret_cast<const void*>(&RaiseVcertLoadError));
      if (!fSecConn.Load(platform::JoinPath(platform::ExtractFilePath(self), aAuxilaryDll))) {
        fSecConnError = platform::GetLastError();
        if (fSecConnError == 0) fSecConnError = platform::ERROR_MOD_NOT_FOUND;
      }
    }
    if (fSecConn.IsLoaded()) {
      void* p = fSecConn.FindSymbol(name.c_str());
      if (p == nullptr) RaiseVcertEntryPointError(name, aAuxilaryDll);
      fProcs[i] = p;
    }
  }
}

TVCERTApi::~TVCERTApi() {
  fProcs.fill(nullptr);
  fSecConn.Unload();
  fMain.Unload();
}

void TVCERTApi::RaiseUnbound(VcertEntry entry) const {
  if (InSessionGroup(entry) && fSecConnError != 0)
    RaiseVcertLoadError(fSecConnDllName, fSecConnError);
  RaiseVcertEntryPointError(
      ExportName(entry), InSessionGroup(entry) && fSecConn.IsLoaded() ? fSecConnDllName : fDllName);
}

void* TVCERTApi::Entry(VcertEntry entry) const {
  void* p = fProcs[entry];
  if (p == nullptr) RaiseUnbound(entry);
  return p;
}

std::string TVCERTApi::VCERT_GetErrorText(TVcertStatus error) const {
  if (!IsBound(veGetErrorText)) return {};
  char buf[1024];
  buf[0] = '\0';
  VCERT_GetErrorText()(error, buf, sizeof(buf));
  // A text that fills the buffer without a terminator is cut at the buffer.
  const std::size_t len = strnlen(buf, sizeof(buf));
  return platform::Trim(platform::FromCodePage(std::string_view(buf, len)));
}

TVcertStatus TVCERTApi::VCERT_CreateConnection(TVcertContext ctx, std::uint32_t server,
                                               TVcertConnection& conn) const {
  conn = nullptr;
  return VCERT_CreateConnection()(ctx, server, &conn);
}

}  // namespace tarvo
