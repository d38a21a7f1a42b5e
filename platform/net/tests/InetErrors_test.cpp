#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <string>

#include "platform/core/Errors.h"
#include "platform/net/Inet.h"
#include "platform/net/InetInternal.h"

namespace tarvo::platform {
namespace {

struct Row {
  const char* what;
  CurlFailure failure;
  std::uint32_t expected;
};

CurlFailure Curl(int code) {
  return CurlFailure{code, 0, false, 0, false, false};
}
CurlFailure Cert(int code, long verify) {
  return CurlFailure{code, verify, false, 0, false, false};
}

// One row per outcome the layer tells apart.
TEST(InetErrors, CurlOutcomesMapToServiceCodes) {
  const Row rows[] = {
      {"time-out", Curl(CURLE_OPERATION_TIMEDOUT), 12002},
      {"host not resolved", Curl(CURLE_COULDNT_RESOLVE_HOST), 12007},
      {"proxy not resolved", Curl(CURLE_COULDNT_RESOLVE_PROXY), 12007},
      {"cannot connect", Curl(CURLE_COULDNT_CONNECT), 12029},
      {"receive failure", Curl(CURLE_RECV_ERROR), 12030},
      {"body cut short", Curl(CURLE_PARTIAL_FILE), 12030},
      {"send failure", Curl(CURLE_SEND_ERROR), 12031},
      {"nothing received", Curl(CURLE_GOT_NOTHING), 12152},
      {"garbage received", Curl(CURLE_WEIRD_SERVER_REPLY), 12152},
      {"no status line", Curl(CURLE_UNSUPPORTED_PROTOCOL), 12152},
      {"redirect from https to http",
       CurlFailure{CURLE_UNSUPPORTED_PROTOCOL, 0, false, 0, true, true}, 12040},
      {"redirect to another scheme",
       CurlFailure{CURLE_UNSUPPORTED_PROTOCOL, 0, false, 0, true, false}, 12048},
      {"malformed URL", Curl(CURLE_URL_MALFORMAT), 12005},
      {"too many redirects", Curl(CURLE_TOO_MANY_REDIRECTS), 12156},
      {"expired", Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_CERT_HAS_EXPIRED), 12037},
      {"not yet valid", Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_CERT_NOT_YET_VALID), 12037},
      {"host name", Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_OK), 12038},
      {"host name (curl's own check)", Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_UNSPECIFIED),
       12038},
      {"self-signed", Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT),
       12045},
      {"unknown issuer",
       Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY), 12045},
      {"untrusted root", Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN),
       12045},
      {"revoked", Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_CERT_REVOKED), 12170},
      {"no revocation list", Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_UNABLE_TO_GET_CRL),
       12057},
      {"wrong purpose", Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_INVALID_PURPOSE), 12169},
      {"bad signature", Cert(CURLE_PEER_FAILED_VERIFICATION, X509_V_ERR_CERT_SIGNATURE_FAILURE),
       12169},
      {"handshake failure", Curl(CURLE_SSL_CONNECT_ERROR), 12157},
      {"handshake failure with a certificate fault",
       Cert(CURLE_SSL_CONNECT_ERROR, X509_V_ERR_CERT_HAS_EXPIRED), 12037},
      {"client certificate asked for",
       CurlFailure{CURLE_SSL_CONNECT_ERROR, 0, true, 0, false, false}, 12044},
      {"authority file unusable", Curl(CURLE_SSL_CACERT_BADFILE), 12045},
      {"revocation list unusable", Curl(CURLE_SSL_CRL_BADFILE), 12057},
      {"cipher", Curl(CURLE_SSL_CIPHER), 12157},
      {"content decoding", Curl(CURLE_BAD_CONTENT_ENCODING), 12175},
      {"login denied", Curl(CURLE_LOGIN_DENIED), 12015},
      {"cancelled by a callback", Curl(CURLE_ABORTED_BY_CALLBACK), 12017},
      {"out of memory", Curl(CURLE_OUT_OF_MEMORY), ERROR_NOT_ENOUGH_MEMORY},
      {"proxy refused the tunnel", CurlFailure{CURLE_COULDNT_CONNECT, 0, false, 403, false, true},
       12003},
      {"anything else", Curl(CURLE_FUNCTION_NOT_FOUND), 12004},
      {"success", Curl(CURLE_OK), ERROR_SUCCESS},
  };
  for (const Row& row : rows)
    EXPECT_EQ(InternetErrorFromCurl(row.failure), row.expected) << row.what;
}

TEST(InetErrors, MessagesAreTheModulesOwnWithPeriodAndLineBreak) {
  EXPECT_EQ(InternetErrorMessage(12002), "The operation timed out.\r\n");
  EXPECT_EQ(InternetErrorMessage(12045), "The certificate authority is invalid or incorrect.\r\n");
  EXPECT_EQ(InternetErrorMessage(12175), "Content decoding has failed.\r\n");
  // Codes of the range without a message, and codes outside it, have none.
  EXPECT_EQ(InternetErrorMessage(12035), "");
  EXPECT_EQ(InternetErrorMessage(12100), "");
  EXPECT_EQ(InternetErrorMessage(5), "");
  EXPECT_EQ(InternetErrorMessage(12176), "");
  // Every code named in the layer's header has a message.
  for (std::uint32_t code : {12001u, 12029u, 12030u, 12031u, 12037u, 12038u, 12044u, 12057u, 12150u,
                             12152u, 12156u, 12157u, 12163u, 12169u, 12170u})
    EXPECT_FALSE(InternetErrorMessage(code).empty()) << code;
}

}  // namespace
}  // namespace tarvo::platform
