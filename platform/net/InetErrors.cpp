// Error codes of the HTTP service: the module's English messages, the map
// from curl's outcomes to the service's codes, and the thread's extended
// response text.
#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <string>
#include <utility>

#include "platform/core/Errors.h"
#include "platform/net/Inet.h"
#include "platform/net/InetInternal.h"

namespace tarvo::platform {

namespace {

struct MessageEntry {
  std::uint32_t code;
  const char* text;
};

// The module's own texts, as the message formatter returns them (a final "."
// and a line break; EWinInetError strips those).
constexpr MessageEntry kMessages[] = {
    {12001, "No more Internet handles can be allocated"},
    {12002, "The operation timed out"},
    {12003, "The server returned extended information"},
    {12004, "An internal error occurred in the Microsoft Internet extensions"},
    {12005, "The URL is invalid"},
    {12006, "The URL does not use a recognized protocol"},
    {12007, "The server name or address could not be resolved"},
    {12008, "A protocol with the required capabilities was not found"},
    {12009, "The option is invalid"},
    {12010, "The length is incorrect for the option type"},
    {12011, "The option value cannot be set"},
    {12012, "Microsoft Internet Extension support has been shut down"},
    {12013, "The user name was not allowed"},
    {12014, "The password was not allowed"},
    {12015, "The login request was denied"},
    {12016, "The requested operation is invalid"},
    {12017, "The operation has been canceled"},
    {12018, "The supplied handle is the wrong type for the requested operation"},
    {12019, "The handle is in the wrong state for the requested operation"},
    {12020, "The request cannot be made on a Proxy session"},
    {12021, "The registry value could not be found"},
    {12022, "The registry parameter is incorrect"},
    {12023, "Direct Internet access is not available"},
    {12024, "No context value was supplied"},
    {12025, "No status callback was supplied"},
    {12026, "There are outstanding requests"},
    {12027, "The information format is incorrect"},
    {12028, "The requested item could not be found"},
    {12029, "A connection with the server could not be established"},
    {12030, "The connection with the server was terminated abnormally"},
    {12031, "The connection with the server was reset"},
    {12032, "The action must be retried"},
    {12033, "The proxy request is invalid"},
    {12034, "User interaction is required to complete the operation"},
    {12036, "The handle already exists"},
    {12037, "The date in the certificate is invalid or has expired"},
    {12038, "The host name in the certificate is invalid or does not match"},
    {12039, "A redirect request will change a non-secure to a secure connection"},
    {12040, "A redirect request will change a secure to a non-secure connection"},
    {12041, "Mixed secure and non-secure connections"},
    {12042, "Changing to non-secure post"},
    {12043, "Data is being posted on a non-secure connection"},
    {12044, "A certificate is required to complete client authentication"},
    {12045, "The certificate authority is invalid or incorrect"},
    {12046, "Client authentication has not been correctly installed"},
    {12047, "An error has occurred in a Wininet asynchronous thread. You may need to restart"},
    {12048, "The protocol scheme has changed during a redirect operation"},
    {12049, "There are operations awaiting retry"},
    {12050, "The operation must be retried"},
    {12052, "A security zone check indicates the operation must be retried"},
    {12053, "The insert CD-ROM operation must be retried"},
    {12054, "The Fortezza card login must be retried"},
    {12055, "The SSL certificate contains errors"},
    {12056, "The SSL certificate was not revoked"},
    {12057, "The revocation check of the SSL certificate failed"},
    {12150, "The HTTP header was not found"},
    {12151, "The server does not support the requested protocol level"},
    {12152, "The server returned an invalid or unrecognized response"},
    {12153, "The supplied HTTP header is invalid"},
    {12154, "The request for a HTTP header is invalid"},
    {12155, "The HTTP header already exists"},
    {12156, "The HTTP redirect request failed"},
    {12157, "An error occurred in the secure channel support"},
    {12158, "The file could not be written to the cache"},
    {12159, "The TCP/IP protocol is not installed properly"},
    {12160, "The HTTP request was not redirected"},
    {12161, "A cookie from the server must be confirmed by the user"},
    {12162, "A cookie from the server has been declined acceptance"},
    {12163, "The Internet connection has been lost"},
    {12164, "The server is unreachable"},
    {12165, "The proxy server is unreachable"},
    {12166, "The proxy auto-configuration script is in error"},
    {12167, "Could not download the proxy auto-configuration script file"},
    {12168, "The HTTP redirect request must be confirmed by the user"},
    {12169, "The supplied certificate is invalid"},
    {12170, "The supplied certificate has been revoked"},
    {12171,
     "The Dialup failed because file sharing was turned on and a failure was requested if "
     "security check was needed"},
    {12172, "Initialization of the WinINet API has not occurred"},
    {12173, "The Microsoft Network security package is required"},
    {12174, "Login failed and the client should display the entity body to the user"},
    {12175, "Content decoding has failed"},
};

struct ResponseInfo {
  bool present = false;
  std::uint32_t code = 0;
  std::string text;
};
thread_local ResponseInfo tLastResponse;

}  // namespace

std::string InternetErrorMessage(std::uint32_t code) {
  for (const MessageEntry& e : kMessages)
    if (e.code == code) return std::string(e.text) + ".\r\n";
  return {};
}

namespace inet_detail {

CertFault CertFaultOf(long r) noexcept {
  switch (r) {
    case X509_V_OK:
      return CertFault::None;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CertFault::Date;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return CertFault::Name;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return CertFault::Authority;
    case X509_V_ERR_CERT_REVOKED:
      return CertFault::Revoked;
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_CRL_PATH_VALIDATION_ERROR:
      return CertFault::RevocationUnknown;
    case X509_V_ERR_INVALID_PURPOSE:
      return CertFault::Usage;
    default:
      return CertFault::Other;
  }
}

bool RelaxesFault(std::uint32_t bits, CertFault fault) noexcept {
  switch (fault) {
    case CertFault::Date:
      return (bits & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID) != 0;
    case CertFault::Name:
      return (bits & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) != 0;
    case CertFault::Authority:
      return (bits & SECURITY_FLAG_IGNORE_UNKNOWN_CA) != 0;
    case CertFault::Revoked:
    case CertFault::RevocationUnknown:
      return (bits & SECURITY_FLAG_IGNORE_REVOCATION) != 0;
    case CertFault::Usage:
      return (bits & SECURITY_FLAG_IGNORE_WRONG_USAGE) != 0;
    case CertFault::None:
      return true;
    case CertFault::Other:
      return false;
  }
  return false;
}

void SetLastResponseInfo(std::uint32_t code, std::string text) {
  tLastResponse.present = true;
  tLastResponse.code = code;
  tLastResponse.text = std::move(text);
}

void ClearLastResponseInfo() {
  tLastResponse.present = false;
  tLastResponse.code = 0;
  tLastResponse.text.clear();
}

}  // namespace inet_detail

namespace {

std::uint32_t FromCertificate(long verifyResult) {
  using inet_detail::CertFault;
  switch (inet_detail::CertFaultOf(verifyResult)) {
    case CertFault::Date:
      return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
    case CertFault::None:  // the chain was fine, so the host name was not
    case CertFault::Name:
      return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    case CertFault::Authority:
      return ERROR_INTERNET_INVALID_CA;
    case CertFault::Revoked:
      return ERROR_INTERNET_SEC_CERT_REVOKED;
    case CertFault::RevocationUnknown:
      return ERROR_INTERNET_SEC_CERT_REV_FAILED;
    case CertFault::Usage:
    case CertFault::Other:
      return ERROR_INTERNET_SEC_INVALID_CERT;
  }
  return ERROR_INTERNET_SEC_INVALID_CERT;
}

}  // namespace

std::uint32_t InternetErrorFromCurl(const CurlFailure& f) noexcept {
  // A proxy that refused the tunnel answered with a status of its own: that
  // answer is the extended information the caller gets to see.
  if (f.proxyTunnelStatus >= 300) return ERROR_INTERNET_EXTENDED_ERROR;
  switch (f.curlCode) {
    case CURLE_OK:
      return ERROR_SUCCESS;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
    case CURLE_NO_CONNECTION_AVAILABLE:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SEND_ERROR:
      return ERROR_INTERNET_CONNECTION_RESET;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_UNSUPPORTED_PROTOCOL:
      // The layer only ever asks for http and https, so this is a redirect
      // to a scheme the request may not follow, or an answer without a
      // status line (HTTP/0.9), which is no valid answer.
      if (f.redirected)
        return f.secureOrigin ? ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR
                              : ERROR_INTERNET_REDIRECT_SCHEME_CHANGE;
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_TOO_MANY_REDIRECTS:
      return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_PEER_FAILED_VERIFICATION:
      // When the chain passed and only curl's own host name check refused the
      // certificate, curl reports the verification result as "unspecified":
      // no chain fault, so the name was wrong.
      if (f.verifyResult == X509_V_ERR_UNSPECIFIED) return ERROR_INTERNET_SEC_CERT_CN_INVALID;
      return FromCertificate(f.verifyResult);
    case CURLE_SSL_CONNECT_ERROR:
      if (f.clientCertRequested) return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
      if (f.verifyResult != X509_V_OK) return FromCertificate(f.verifyResult);
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return ERROR_INTERNET_INVALID_CA;
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return ERROR_INTERNET_SEC_CERT_REV_FAILED;
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return ERROR_INTERNET_SEC_INVALID_CERT;
    case CURLE_SSL_CERTPROBLEM:
      return ERROR_INTERNET_CLIENT_AUTH_NOT_SETUP;
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_BAD_CONTENT_ENCODING:
      return ERROR_INTERNET_DECODING_FAILED;
    case CURLE_LOGIN_DENIED:
    case CURLE_AUTH_ERROR:
      return ERROR_INTERNET_LOGIN_FAILURE;
    case CURLE_ABORTED_BY_CALLBACK:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

bool InternetGetLastResponseInfo(std::uint32_t& error, std::string& text) {
  if (!tLastResponse.present) {
    error = 0;
    text.clear();
    SetLastError(ERROR_INTERNET_ITEM_NOT_FOUND);
    return false;
  }
  error = tLastResponse.code;
  text = tLastResponse.text;
  return true;
}

}  // namespace tarvo::platform
