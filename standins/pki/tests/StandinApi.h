// The stand-in's entries as the tests call them: a library loaded through the
// platform loader with the entries the tests need bound by name.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/vcert1.h"
#include "platform/core/Library.h"
#include "standins/pki/PkiTesting.h"

namespace tarvo::pkitest {

struct StandinApi {
  platform::Library lib;
  TVCERT_AllocMem AllocMem = nullptr;
  TVCERT_FreeMem FreeMem = nullptr;
  TVCERT_FreeCert FreeCert = nullptr;
  TVCERT_FindCert FindCert = nullptr;
  TVCERT_GetErrorText GetErrorText = nullptr;
  TVCERT_GetErrorLineEx GetErrorLineEx = nullptr;
  TVCERT_InitializeEx InitializeEx = nullptr;
  TVCERT_Uninitialize Uninitialize = nullptr;
  TVCERT_DuplicateContext DuplicateContext = nullptr;
  TVCERT_ParseCert ParseCert = nullptr;
  TVCERT_VerifyCert VerifyCert = nullptr;
  TVCERT_VerifyCertificatePolicy VerifyCertificatePolicy = nullptr;
  TVCERT_ShowCertificate ShowCertificate = nullptr;
  TVCERT_GenRandom GenRandom = nullptr;
  TVCERT_SetAuthData SetAuthData = nullptr;
  TVCERT_Authorize Authorize = nullptr;
  TVCERT_AddCertificate AddCertificate = nullptr;
  TVCERT_CreateConnection CreateConnection = nullptr;
  TVCERT_FreeConnection FreeConnection = nullptr;
  TVCERT_ClientStep1 ClientStep1 = nullptr;
  TVCERT_ServerStep2 ServerStep2 = nullptr;
  TVCERT_ClientStep3 ClientStep3 = nullptr;
  TVCERT_ServerStep4 ServerStep4 = nullptr;
  TVCERT_ClientStep5 ClientStep5 = nullptr;
  TVCERT_ConnectionEncrypt ConnectionEncrypt = nullptr;
  TVCERT_ConnectionDecrypt ConnectionDecrypt = nullptr;

  explicit StandinApi(const std::string& path) {
    if (!lib.Load(path))
      throw std::runtime_error("cannot load " + path + ": " + platform::LastLoadErrorText());
    Bind(AllocMem, "VCERT_AllocMem");
    Bind(FreeMem, "VCERT_FreeMem");
    Bind(FreeCert, "VCERT_FreeCert");
    Bind(FindCert, "VCERT_FindCert");
    Bind(GetErrorText, "VCERT_GetErrorText");
    Bind(GetErrorLineEx, "VCERT_GetErrorLineEx");
    Bind(InitializeEx, "VCERT_InitializeEx");
    Bind(Uninitialize, "VCERT_Uninitialize");
    Bind(DuplicateContext, "VCERT_DuplicateContext");
    Bind(ParseCert, "VCERT_ParseCert");
    Bind(VerifyCert, "VCERT_VerifyCert");
    Bind(VerifyCertificatePolicy, "VCERT_VerifyCertificatePolicy");
    Bind(ShowCertificate, "VCERT_ShowCertificate");
    Bind(GenRandom, "VCERT_GenRandom");
    Bind(SetAuthData, "VCERT_SetAuthData");
    Bind(Authorize, "VCERT_Authorize");
    Bind(AddCertificate, "VCERT_AddCertificate");
    Bind(CreateConnection, "VCERT_CreateConnection");
    Bind(FreeConnection, "VCERT_FreeConnection");
    Bind(ClientStep1, "VCERT_ClientStep1");
    Bind(ServerStep2, "VCERT_ServerStep2");
    Bind(ClientStep3, "VCERT_ClientStep3");
    Bind(ServerStep4, "VCERT_ServerStep4");
    Bind(ClientStep5, "VCERT_ClientStep5");
    Bind(ConnectionEncrypt, "VCERT_ConnectionEncrypt");
    Bind(ConnectionDecrypt, "VCERT_ConnectionDecrypt");
  }

  template <typename T>
  void Bind(T& slot, const char* name) {
    slot = reinterpret_cast<T>(lib.FindSymbol(name));
    if (slot == nullptr) throw std::runtime_error(std::string("missing ") + name);
  }

  // A local context on a laid-out store.
  TVcertStatus OpenLocal(const StorePaths& paths, TVcertContext* ctx, const char* pin = nullptr) {
    std::string pse = paths.pse, local = paths.localStore, ldap = paths.ldap;
    TLocalParam p{};
    p.Size = sizeof p;
    p.pse = pse.data();
    p.LocalStore = local.data();
    p.Ldap = ldap.data();
    p.PinCode = const_cast<char*>(pin);
    return InitializeEx(VCERT_CRYPT_LOCAL, &p, ctx);
  }

  TVcertStatus OpenServer(const std::vector<std::string>& servers, TVcertContext* ctx) {
    std::vector<std::string> texts;
    for (const auto& s : servers) texts.push_back("ncacn_ip_tcp:" + s);
    std::vector<char*> ptrs;
    for (auto& t : texts) ptrs.push_back(t.data());
    TCrSrvParam p{};
    p.Size = sizeof p;
    p.TimeOut = 1000;
    p.Num = static_cast<std::uint32_t>(ptrs.size());
    p.Servers = ptrs.data();
    return InitializeEx(VCERT_CRYPT_SERVER, &p, ctx);
  }

  std::string Text(TVcertStatus status) {
    char buf[256] = {};
    GetErrorText(status, buf, sizeof buf);
    return buf;
  }
};

inline std::string Bytes(const TMemBlk& b) {
  return b.buf == nullptr ? std::string()
                          : std::string(reinterpret_cast<const char*>(b.buf), b.len);
}

}  // namespace tarvo::pkitest
