// Secure connections: a five-step handshake between a client and a server
// connection, then AES-256-GCM records under the agreed key.
//
//   ClientStep1 -> "C1" + client nonce (32)
//   ServerStep2 -> "S2" + server nonce (32); key = SHA-256(client || server)
//   ClientStep3 -> "C3" + HMAC-SHA-256(key, "client finished")
//   ServerStep4 -> "S4" + HMAC-SHA-256(key, "server finished")
//   ClientStep5    checks S4; both sides are then established
//
// Records: 12-byte random nonce, ciphertext, 16-byte tag.
//
// These entries may live in a separate secure-connection library whose
// contexts belong to the main library, so the context is only checked for
// being present; the connection handles are this library's own.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstring>

#include "standins/pki/src/Stub.h"

using namespace pkistub;
using namespace tarvo;

namespace {

struct Connection {
  static constexpr std::uint64_t kMagic = 0x504B49434F4E4Eull;  // "PKICONN"
  std::uint64_t magic = kMagic;
  bool server = false;
  int step = 0;  // handshake steps completed on this side
  bool established = false;
  std::string clientNonce, serverNonce, key;
};

std::mutex gConnMutex;
std::set<Connection*>& Connections() {
  static auto* set = new std::set<Connection*>;
  return *set;
}

Connection* FindConnection(void* handle) {
  std::lock_guard<std::mutex> lock(gConnMutex);
  auto* c = static_cast<Connection*>(handle);
  return Connections().count(c) != 0 ? c : nullptr;
}

std::string Random(std::size_t n) {
  std::string bytes(n, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(n));
  return bytes;
}

std::string Mac(const std::string& key, const char* label) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(label), std::strlen(label), md, &len);
  return std::string(reinterpret_cast<char*>(md), len);
}

std::string DeriveKey(const std::string& a, const std::string& b) {
  const std::string both = a + b;
  unsigned char md[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(both.data()), both.size(), md);
  return std::string(reinterpret_cast<char*>(md), sizeof md);
}

std::string Bytes(const TMemBlk* blk) {
  if (blk == nullptr || blk->buf == nullptr) return "";
  return std::string(reinterpret_cast<const char*>(blk->buf), blk->len);
}

// Common start of every connection entry: injected failure, context and
// connection, the side the step belongs to.
TVcertStatus Start(int entry, void* ctx, void* handle, Connection*& conn,
                   int side /* 0 client, 1 server, -1 any */) {
  const char* name = kVcertEntryNames[entry];
  const TVcertStatus injected = Enter(entry);
  if (injected != 0) return PKI_FAIL(FindContext(ctx), injected, name, "injected failure");
  if (ctx == nullptr) return PKI_FAIL(FindContext(ctx), kBadContext, name, "no context");
  conn = FindConnection(handle);
  if (conn == nullptr) return PKI_FAIL(FindContext(ctx), kBadContext, name, "unknown connection");
  if (side >= 0 && conn->server != (side == 1))
    return PKI_FAIL(FindContext(ctx), kNotAvailable, name,
                    side == 0 ? "client step on a server" : "server step on a client");
  return 0;
}

TVcertStatus Output(void* ctx, int entry, TMemBlk* out, const std::string& bytes) {
  if (!PutBlock(out, bytes))
    return PKI_FAIL(FindContext(ctx), kBadParameter, kVcertEntryNames[entry], "output block");
  return 0;
}

}  // namespace

PKI_EXPORT TVcertStatus VCERT_CreateConnection(TVcertContext ctx, std::uint32_t server,
                                               TVcertConnection* conn) {
  RecordCall(veCreateConnection, "server=" + std::to_string(server) + "\n");
  const TVcertStatus injected = Enter(veCreateConnection);
  if (injected != 0)
    return PKI_FAIL(FindContext(ctx), injected, "CreateConnection", "injected failure");
  if (ctx == nullptr || conn == nullptr || server > 1)
    return PKI_FAIL(FindContext(ctx), kBadParameter, "CreateConnection", "");
  auto* c = new Connection;
  c->server = server == 1;
  {
    std::lock_guard<std::mutex> lock(gConnMutex);
    Connections().insert(c);
  }
  HandleCreated();
  *conn = c;
  return 0;
}

PKI_EXPORT void VCERT_FreeConnection(TVcertContext, TVcertConnection handle) {
  Enter(veFreeConnection);
  if (handle == nullptr) return;
  auto* c = static_cast<Connection*>(handle);
  {
    std::lock_guard<std::mutex> lock(gConnMutex);
    if (Connections().erase(c) == 0) {
      CountUnknownFree();
      return;
    }
  }
  HandleReleased();
  OPENSSL_cleanse(c->key.data(), c->key.size());
  delete c;
}

PKI_EXPORT TVcertStatus VCERT_ClientStep1(TVcertContext ctx, TVcertConnection handle,
                                          TCertificate* serverCert, TMemBlk* msg1) {
  Connection* c = nullptr;
  if (TVcertStatus s = Start(veClientStep1, ctx, handle, c, 0)) return s;
  RecordCall(veClientStep1,
             std::string("servercert=") +
                 (serverCert != nullptr && serverCert->Fields != 0 ? "given" : "none") + "\n");
  if (c->step != 0) return PKI_FAIL(FindContext(ctx), kHandshake, "ClientStep1", "out of order");
  c->clientNonce = Random(32);
  if (TVcertStatus s = Output(ctx, veClientStep1, msg1, "C1" + c->clientNonce)) return s;
  c->step = 1;
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_ServerStep2(TVcertContext ctx, TVcertConnection handle, TMemBlk* msg1,
                                          TMemBlk* msg2) {
  Connection* c = nullptr;
  if (TVcertStatus s = Start(veServerStep2, ctx, handle, c, 1)) return s;
  const std::string in = Bytes(msg1);
  if (c->step != 0 || in.size() != 34 || in.compare(0, 2, "C1") != 0)
    return PKI_FAIL(FindContext(ctx), kHandshake, "ServerStep2", "bad message 1");
  c->clientNonce = in.substr(2);
  c->serverNonce = Random(32);
  if (TVcertStatus s = Output(ctx, veServerStep2, msg2, "S2" + c->serverNonce)) return s;
  c->key = DeriveKey(c->clientNonce, c->serverNonce);
  c->step = 1;
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_ClientStep3(TVcertContext ctx, TVcertConnection handle, TMemBlk* msg2,
                                          TMemBlk* msg3) {
  Connection* c = nullptr;
  if (TVcertStatus s = Start(veClientStep3, ctx, handle, c, 0)) return s;
  const std::string in = Bytes(msg2);
  if (c->step != 1 || in.size() != 34 || in.compare(0, 2, "S2") != 0)
    return PKI_FAIL(FindContext(ctx), kHandshake, "ClientStep3", "bad message 2");
  c->serverNonce = in.substr(2);
  c->key = DeriveKey(c->clientNonce, c->serverNonce);
  if (TVcertStatus s = Output(ctx, veClientStep3, msg3, "C3" + Mac(c->key, "client finished")))
    return s;
  c->step = 2;
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_ServerStep4(TVcertContext ctx, TVcertConnection handle, TMemBlk* msg3,
                                          TMemBlk* msg4) {
  Connection* c = nullptr;
  if (TVcertStatus s = Start(veServerStep4, ctx, handle, c, 1)) return s;
  if (c->step != 1 || Bytes(msg3) != "C3" + Mac(c->key, "client finished"))
    return PKI_FAIL(FindContext(ctx), kHandshake, "ServerStep4", "bad message 3");
  if (TVcertStatus s = Output(ctx, veServerStep4, msg4, "S4" + Mac(c->key, "server finished")))
    return s;
  c->step = 2;
  c->established = true;
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_ClientStep5(TVcertContext ctx, TVcertConnection handle,
                                          TMemBlk* msg4) {
  Connection* c = nullptr;
  if (TVcertStatus s = Start(veClientStep5, ctx, handle, c, 0)) return s;
  if (c->step != 2 || Bytes(msg4) != "S4" + Mac(c->key, "server finished"))
    return PKI_FAIL(FindContext(ctx), kHandshake, "ClientStep5", "bad message 4");
  c->step = 3;
  c->established = true;
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_ConnectionEncrypt(TVcertContext ctx, TVcertConnection handle,
                                                TMemBlk* in, TMemBlk* out) {
  Connection* c = nullptr;
  if (TVcertStatus s = Start(veConnectionEncrypt, ctx, handle, c, -1)) return s;
  if (!c->established)
    return PKI_FAIL(FindContext(ctx), kHandshake, "ConnectionEncrypt", "not established");
  const std::string plain = Bytes(in);
  const std::string nonce = Random(12);
  std::string cipher(plain.size(), '\0');
  unsigned char tag[16];
  EVP_CIPHER_CTX* e = EVP_CIPHER_CTX_new();
  int len = 0;
  bool ok =
      EVP_EncryptInit_ex(e, EVP_aes_256_gcm(), nullptr,
                         reinterpret_cast<const unsigned char*>(c->key.data()),
                         reinterpret_cast<const unsigned char*>(nonce.data())) == 1 &&
      EVP_EncryptUpdate(e, reinterpret_cast<unsigned char*>(cipher.data()), &len,
                        reinterpret_cast<const unsigned char*>(plain.data()),
                        static_cast<int>(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(e, reinterpret_cast<unsigned char*>(cipher.data()) + len, &len) == 1 &&
      EVP_CIPHER_CTX_ctrl(e, EVP_CTRL_GCM_GET_TAG, 16, tag) == 1;
  EVP_CIPHER_CTX_free(e);
  if (!ok) return PKI_FAIL(FindContext(ctx), kNotAvailable, "ConnectionEncrypt", "cipher failed");
  return Output(ctx, veConnectionEncrypt, out,
                nonce + cipher + std::string(reinterpret_cast<char*>(tag), 16));
}

PKI_EXPORT TVcertStatus VCERT_ConnectionDecrypt(TVcertContext ctx, TVcertConnection handle,
                                                TMemBlk* in, TMemBlk* out) {
  Connection* c = nullptr;
  if (TVcertStatus s = Start(veConnectionDecrypt, ctx, handle, c, -1)) return s;
  if (!c->established)
    return PKI_FAIL(FindContext(ctx), kHandshake, "ConnectionDecrypt", "not established");
  const std::string record = Bytes(in);
  if (record.size() < 28)
    return PKI_FAIL(FindContext(ctx), kHandshake, "ConnectionDecrypt", "short record");
  const std::string nonce = record.substr(0, 12);
  const std::string cipher = record.substr(12, record.size() - 28);
  std::string tag = record.substr(record.size() - 16);
  std::string plain(cipher.size(), '\0');
  EVP_CIPHER_CTX* d = EVP_CIPHER_CTX_new();
  int len = 0;
  bool ok = EVP_DecryptInit_ex(d, EVP_aes_256_gcm(), nullptr,
                               reinterpret_cast<const unsigned char*>(c->key.data()),
                               reinterpret_cast<const unsigned char*>(nonce.data())) == 1 &&
            EVP_DecryptUpdate(d, reinterpret_cast<unsigned char*>(plain.data()), &len,
                              reinterpret_cast<const unsigned char*>(cipher.data()),
                              static_cast<int>(cipher.size())) == 1 &&
            EVP_CIPHER_CTX_ctrl(d, EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(d, reinterpret_cast<unsigned char*>(plain.data()) + len, &len) == 1;
  EVP_CIPHER_CTX_free(d);
  if (!ok)
    return PKI_FAIL(FindContext(ctx), kHandshake, "ConnectionDecrypt",
                    "record does not authenticate");
  return Output(ctx, veConnectionDecrypt, out, plain);
}

PKI_EXPORT TVcertStatus VCERT_ConnectionCtrl(TVcertContext ctx, TVcertConnection handle,
                                             std::int32_t cmd, void* value) {
  Connection* c = nullptr;
  RecordCall(veConnectionCtrl, "cmd=" + std::to_string(cmd) + "\n");
  if (TVcertStatus s = Start(veConnectionCtrl, ctx, handle, c, -1)) return s;
  // Command 1 asks whether the handshake is complete (1) or not (0).
  if (cmd == 1 && value != nullptr) {
    *static_cast<std::uint32_t*>(value) = c->established ? 1 : 0;
    return 0;
  }
  return PKI_FAIL(FindContext(ctx), kNotAvailable, "ConnectionCtrl",
                  "command " + std::to_string(cmd));
}
