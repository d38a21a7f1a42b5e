// TVCERTApi: loads the vendor crypto library and binds its 143 entries.
//
// The main library is loaded by full path from the system folder
// (platform::SystemFolder(), TARVO_SYSTEM_DIR). Which missing entries are
// acceptable depends on what the library is:
//   - a library exporting "VCERT_EncryptMem" has the version-5 message
//     interface; it has the version-6 CMS interface when it also exports
//     "VCERT_CmsBlkEncryptMem" - or when it lacks "VCERT_EncryptMem" (a library
//     without version 5 is taken to be version 6);
//   - "SetAuthData" and "Authorize" may always be missing, the version-5 group
//     when there is no version 5, the CMS group when there is no version 6,
//     and a few entries of the crypto-server flavour ("libpki1.dll");
//   - the session and secure-connection group may come from a secure-
//     connection library ("xsecconn.dll", "rsecconn.dll") that sits in the
//     folder of this wrapper library (not the system folder). When that
//     library cannot be loaded, construction still succeeds and the failure
//     surfaces when a connection is created.
// Any other missing entry fails construction with the entry-point error.
//
// An entry left unbound is never called: its accessor raises the entry-point
// error (or, for the session group whose library failed to load, that load
// error), so a caller cannot jump through a null pointer.
//
// Errors: EVcertLoadError (crypto/ValidataError.h) with the Windows error
// code as ErrorCode. A failed construction leaves nothing loaded.
//
// Threads: the object is immutable after construction; its accessors may be
// used from any thread. It holds no locks (the provider serialises library
// initialisation).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "crypto/ValidataError.h"
#include "crypto/vcert1.h"
#include "platform/core/Library.h"

namespace tarvo {

// clang-format off
#define TVCERT_TYPED_ENTRIES(X)                                                                  \
  X(AllocMem) X(FreeMem) X(FreeCert) X(FindCert) X(GetErrorText) X(InitializeEx) X(Uninitialize) \
  X(DuplicateContext) X(ParseCert) X(VerifyCert) X(VerifyCertificatePolicy) X(ShowCertificate)   \
  X(UpdateCRLs) X(GenRandom) X(SetAuthData) X(Authorize) X(ImportMem) X(AddCertificate)          \
  X(GetErrorLineEx) X(CreateConnection) X(FreeConnection) X(ClientStep1) X(ServerStep2)          \
  X(ClientStep3) X(ServerStep4) X(ClientStep5) X(ConnectionEncrypt) X(ConnectionDecrypt)          \
  X(ConnectionCtrl)
// clang-format on

class TVCERTApi {
 public:
  // True when aDllName is not empty and a file of that name exists in the
  // system folder.
  static bool Available(const std::string& aDllName);

  // Loads aDllName from the system folder and binds the entries; aAuxilaryDll
  // (may be empty) names the secure-connection library.
  TVCERTApi(bool aCryptoServer, const std::string& aDllName, const std::string& aAuxilaryDll);
  // Unloads the secure-connection library, then the main library.
  ~TVCERTApi();
  TVCERTApi(const TVCERTApi&) = delete;
  TVCERTApi& operator=(const TVCERTApi&) = delete;

  bool SupportsV5() const noexcept { return fSupportsV5; }
  bool SupportsV6() const noexcept { return fSupportsV6; }
  bool CryptoServer() const noexcept { return fCryptoServer; }
  const std::string& DllName() const noexcept { return fDllName; }
  const std::string& SecConnDllName() const noexcept { return fSecConnDllName; }
  // The Windows error of loading the secure-connection library (0 when it
  // loaded or was never needed).
  std::uint32_t SecConnLoadError() const noexcept { return fSecConnError; }
  bool SecConnLoaded() const noexcept { return fSecConn.IsLoaded(); }

  bool IsBound(VcertEntry entry) const noexcept { return fProcs[entry] != nullptr; }
  // The entry's address; raises when it is unbound (see above).
  void* Entry(VcertEntry entry) const;

  // Typed accessors, named like the exports: Api.VCERT_FindCert()(ctx, ...).
#define TVCERT_ACCESSOR(name)                                \
  TVCERT_##name VCERT_##name() const {                       \
    return reinterpret_cast<TVCERT_##name>(Entry(ve##name)); \
  }
  TVCERT_TYPED_ENTRIES(TVCERT_ACCESSOR)
#undef TVCERT_ACCESSOR

  // The library's text for a status (1024-byte buffer, converted from 8-bit
  // text, trimmed). "" when the library has no text or no GetErrorText.
  std::string VCERT_GetErrorText(TVcertStatus error) const;
  // Calls VCERT_CreateConnection when bound; otherwise raises the load error of
  // the secure-connection library (or the entry-point error when that library
  // loaded but the entry is missing... which construction already refused).
  TVcertStatus VCERT_CreateConnection(TVcertContext ctx, std::uint32_t server,
                                      TVcertConnection& conn) const;

 private:
  [[noreturn]] void RaiseUnbound(VcertEntry entry) const;

  platform::Library fMain;
  platform::Library fSecConn;
  std::uint32_t fSecConnError = 0;
  std::string fDllName;
  std::string fSecConnDllName;
  bool fCryptoServer = false;
  bool fSupportsV5 = false;
  bool fSupportsV6 = false;
  std::array<void*, kVcertEntryCount> fProcs{};
};

// The two load errors, with their texts exactly as users see them.
[[noreturn]] void RaiseVcertLoadError(const std::string& dllName, std::uint32_t errorCode);
[[noreturn]] void RaiseVcertEntryPointError(const std::string& exportName,
                                            const std::string& dllName);

}  // namespace tarvo
