// The vendor crypto library's C interface: records, constants, entry table.
//
// The Validata library ("xpki1.dll", "rpki1.dll", "zpki1.dll", the crypto-
// server flavour "libpki1.dll" and the secure-connection libraries
// "xsecconn.dll" / "rsecconn.dll") exports a flat C interface whose every
// function is named "VCERT_" + the entry name below. This header is shared by
// the wrapper (libtvValidata.so) and by the stand-in library we build for
// tests, so it includes nothing but <cstdint>/<cstddef> and has no platform
// dependencies. Helpers for TMemBlk that touch files live in crypto/MemBlk.h.
//
// Calling convention: on x86-64 Linux every entry is a plain C function with
// the System V ABI (declared extern "C"; there is no stdcall on this target).
//
// Conventions of the interface:
//   - strings are 8-bit, zero-terminated (char*); the wrapper converts at its
//     edge;
//   - numbers are unsigned 32-bit unless noted; times are Unix times (seconds
//     since 1970-01-01 UTC, unsigned 32-bit);
//   - a status is an unsigned 32-bit value, 0 meaning success (Vcerterr.h has
//     the helpers to take it apart);
//   - nearly every function takes the library context (TVcertContext) first.
//
// Record layouts: natural alignment of the 64-bit target, fields in declared
// order (no packing pragmas). Pointers are 8 bytes, so records are larger than
// their 32-bit ancestors; the offsets are asserted below so that the wrapper
// and the stand-in can never disagree silently.
//
// Memory ownership (the contract the stand-in implements and the wrapper
// relies on):
//   - everything the library hands out (strings and arrays inside records,
//     result arrays, buffers of output TMemBlk) is the library's allocation;
//   - VCERT_FreeCert(ctx, rec) releases what a TCertificate record points to
//     (strings, arrays, CertEncoded, CertHash) and zeroes the record; it does
//     not free the record's own storage;
//   - VCERT_FreeMem(ctx, p) releases one allocation: a result array such as
//     TFindResult.Certs (only the array - the records in it still own their
//     contents and are released with VCERT_FreeCert one by one), or the buf of
//     an output TMemBlk. FreeMem(nullptr) does nothing;
//   - an output TMemBlk that is empty on input (len 0, buf null) receives a
//     library buffer; one that carries a program buffer is filled in place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvo {

// --- basic types ---------------------------------------------------------

using TVcertStatus = std::uint32_t;  // 0 = success
using TVcertContext = void*;         // library context handle, opaque
using TVcertConnection = void*;      // secure-connection handle, opaque
using TUnixTime = std::uint32_t;     // seconds since 1970-01-01 UTC

// Mode argument of VCERT_InitializeEx.
inline constexpr std::uint32_t VCERT_CRYPT_SERVER = 0;  // params: TCrSrvParam
inline constexpr std::uint32_t VCERT_CRYPT_LOCAL = 1;   // params: TLocalParam

// Flag of TFindParams asking for the caller's own certificates (with keys).
inline constexpr std::uint32_t VCERT_FLAG_FIND_MY = 1;

// A block of bytes: length and pointer. Who owns buf depends on the call
// (see the header comment).
struct TMemBlk {
  std::uint32_t len;
  std::uint8_t* buf;
};
static_assert(sizeof(TMemBlk) == 16);
static_assert(offsetof(TMemBlk, len) == 0 && offsetof(TMemBlk, buf) == 8);

// Buffer size for the Base64 text of n bytes.
constexpr std::uint32_t VCERT_BASE64_LEN(std::uint32_t n) {
  return (4 * n) / 3 + 4;
}

// --- certificate identifiers ---------------------------------------------

enum TIdChoice : std::uint32_t {
  ID_ISSUER_AND_SERIAL = 0,
  ID_KEYID = 1,
  ID_CERTHASH = 2,
  ID_ALIAS = 3,
};

struct TIssuerAndSerial {
  char* Issuer;
  char* SerialNumber;
};
static_assert(sizeof(TIssuerAndSerial) == 16);

struct TCertId {
  TIdChoice ChoiceType;
  union {
    TIssuerAndSerial ias;  // ID_ISSUER_AND_SERIAL
    char* KeyId;           // ID_KEYID
    TMemBlk CertHash;      // ID_CERTHASH
    char* alias;           // ID_ALIAS
  };
};
static_assert(sizeof(TCertId) == 24);
static_assert(offsetof(TCertId, ias) == 8 && offsetof(TCertId, KeyId) == 8 &&
              offsetof(TCertId, CertHash) == 8 && offsetof(TCertId, alias) == 8);

// --- certificate record --------------------------------------------------

// Bit numbers of TCertInfo (the mask of fields present / wanted).
enum TCertField : std::uint32_t {
  cfSerialNumber = 0,
  cfIssuer = 1,
  cfSubject = 2,
  cfIssuerUID = 3,
  cfSubjectUID = 4,
  cfExtKeyUsage = 10,
  cfKeyId = 15,
  cfCertEncoded = 16,
  cfCertHash = 17,
  cfAlgorithm = 18,
};
using TCertInfo = std::uint32_t;
constexpr TCertInfo CertFieldBit(TCertField f) {
  return TCertInfo{1} << f;
}
inline constexpr TCertInfo VCERT_ALL_FIELDS = 0x7FFFF;  // bits 0..18

// Bits of TKeyUsages.
using TKeyUsages = std::uint32_t;
inline constexpr TKeyUsages kuDigitalSignature = 1u << 0;
inline constexpr TKeyUsages kuNonRepudiation = 1u << 1;
inline constexpr TKeyUsages kuKeyEncipherment = 1u << 2;
inline constexpr TKeyUsages kuDataEncipherment = 1u << 3;
inline constexpr TKeyUsages kuKeyAgreement = 1u << 4;
inline constexpr TKeyUsages kuEncryptionMask =
    kuKeyEncipherment | kuDataEncipherment | kuKeyAgreement;

struct TAltName {
  char* EmailAddress;
  char* DNS;
  char* URI;
  char* IP;
  char* OrganizationName;
  char* RegistredAddress;
  char* Surname;
  char* BusinessCategory;
  char* TelephoneNumber;
  char* Description;
  char* AccountNumber;
  char* BankId;
  char* PhysicalDelivery;
  char* ExchangeAddress;
  char* NotesAddress;
};
static_assert(sizeof(TAltName) == 120);

struct TPolicy {
  char* oid;
  char* OrgName;
  std::uint32_t NotNum;
  char* Text;
};
static_assert(sizeof(TPolicy) == 32 && offsetof(TPolicy, NotNum) == 16 &&
              offsetof(TPolicy, Text) == 24);

struct TExtKeyUsage {
  char* OID;
};
static_assert(sizeof(TExtKeyUsage) == 8);

struct TCertExtension {
  char* OID;
  std::uint32_t CertType;
  std::uint32_t Critical;
  std::uint32_t Len;
  std::uint8_t* Data;
};
static_assert(sizeof(TCertExtension) == 32 && offsetof(TCertExtension, CertType) == 8 &&
              offsetof(TCertExtension, Len) == 16 && offsetof(TCertExtension, Data) == 24);

struct TCertificate {
  TCertInfo Fields;  // which fields are present
  char* Issuer;
  char* SerialNumber;
  char* Subject;
  char* Algorithm;
  TUnixTime NotBefore;
  TUnixTime NotAfter;
  char* IssuerUID;
  char* SubjectUID;
  TKeyUsages KeyUsage;
  TUnixTime NotBeforePrivate;  // 0 = not given
  TUnixTime NotAfterPrivate;   // 0 = not given
  TAltName IssuerAltName;
  TAltName SubjectAltName;
  char* KeyId;
  std::uint32_t PolicyNum;
  TPolicy* Policies;
  std::uint32_t ExtKeyUsageNum;
  TExtKeyUsage* ExtKeyUsage;
  std::uint32_t ExtensionNum;
  TCertExtension* Extensions;
  TMemBlk CertEncoded;  // DER
  TMemBlk CertHash;
};
static_assert(sizeof(TCertificate) == 408);
static_assert(
    offsetof(TCertificate, Fields) == 0 && offsetof(TCertificate, Issuer) == 8 &&
    offsetof(TCertificate, SerialNumber) == 16 && offsetof(TCertificate, Subject) == 24 &&
    offsetof(TCertificate, Algorithm) == 32 && offsetof(TCertificate, NotBefore) == 40 &&
    offsetof(TCertificate, NotAfter) == 44 && offsetof(TCertificate, IssuerUID) == 48 &&
    offsetof(TCertificate, SubjectUID) == 56 && offsetof(TCertificate, KeyUsage) == 64 &&
    offsetof(TCertificate, NotBeforePrivate) == 68 &&
    offsetof(TCertificate, NotAfterPrivate) == 72 && offsetof(TCertificate, IssuerAltName) == 80 &&
    offsetof(TCertificate, SubjectAltName) == 200 && offsetof(TCertificate, KeyId) == 320 &&
    offsetof(TCertificate, PolicyNum) == 328 && offsetof(TCertificate, Policies) == 336 &&
    offsetof(TCertificate, ExtKeyUsageNum) == 344 && offsetof(TCertificate, ExtKeyUsage) == 352 &&
    offsetof(TCertificate, ExtensionNum) == 360 && offsetof(TCertificate, Extensions) == 368 &&
    offsetof(TCertificate, CertEncoded) == 376 && offsetof(TCertificate, CertHash) == 392);

// --- parameter and result records ----------------------------------------

struct TFindParams {
  std::uint32_t Flag;
  TCertId* MyCert;
  TCertificate CertTemplate;
  TCertInfo Info;
};
static_assert(sizeof(TFindParams) == 432 && offsetof(TFindParams, MyCert) == 8 &&
              offsetof(TFindParams, CertTemplate) == 16 && offsetof(TFindParams, Info) == 424);

struct TFindResult {
  std::uint32_t Num;
  TCertificate* Certs;  // array of Num records
};
static_assert(sizeof(TFindResult) == 16 && offsetof(TFindResult, Certs) == 8);

struct TSignParams {
  std::uint32_t Flag;
  TCertId* MyCert;
};
static_assert(sizeof(TSignParams) == 16 && offsetof(TSignParams, MyCert) == 8);

struct TEncryptParams {
  std::uint32_t Flag;
  TCertId* MyCert;
  std::uint32_t ReceiverNum;
  TCertificate* Receivers;
};
static_assert(sizeof(TEncryptParams) == 32 && offsetof(TEncryptParams, ReceiverNum) == 16 &&
              offsetof(TEncryptParams, Receivers) == 24);

struct TDecryptParams {
  std::uint32_t Flag;
  TCertId* MyCert;
  TCertInfo Info;
};
static_assert(sizeof(TDecryptParams) == 24 && offsetof(TDecryptParams, Info) == 16);

struct TVerifyParams {
  std::uint32_t Flag;
  TCertId* MyCert;
  TKeyUsages KeyUsage;
  std::uint32_t PolicyNum;
  TPolicy* Policies;
  std::uint32_t ExtKeyUsageNum;
  TExtKeyUsage* ExtKeyUsage;
  std::uint32_t ExtensionNum;
  TCertExtension* Extensions;
  std::int32_t nSignToDelete;
  std::uint32_t MinSigns;
  TCertInfo Info;
};
static_assert(sizeof(TVerifyParams) == 80);
static_assert(offsetof(TVerifyParams, MyCert) == 8 && offsetof(TVerifyParams, KeyUsage) == 16 &&
              offsetof(TVerifyParams, PolicyNum) == 20 && offsetof(TVerifyParams, Policies) == 24 &&
              offsetof(TVerifyParams, ExtKeyUsageNum) == 32 &&
              offsetof(TVerifyParams, ExtKeyUsage) == 40 &&
              offsetof(TVerifyParams, ExtensionNum) == 48 &&
              offsetof(TVerifyParams, Extensions) == 56 &&
              offsetof(TVerifyParams, nSignToDelete) == 64 &&
              offsetof(TVerifyParams, MinSigns) == 68 && offsetof(TVerifyParams, Info) == 72);

// size: sizeof(TVerifyPolicyParams), or 0 for a crypto server without the
// version-6 interface (it predates the record's size field).
struct TVerifyPolicyParams {
  std::uint32_t size;
  std::uint32_t flag;
  TCertId* mycert;
  TUnixTime check_time;  // 0 = now
  TKeyUsages keyusage;
  std::uint32_t eku_num;
  char** extkeyusages;  // eku_num OIDs
  std::uint32_t policy_num;
  char** policies;  // policy_num OIDs
};
static_assert(sizeof(TVerifyPolicyParams) == 56);
static_assert(offsetof(TVerifyPolicyParams, mycert) == 8 &&
              offsetof(TVerifyPolicyParams, check_time) == 16 &&
              offsetof(TVerifyPolicyParams, keyusage) == 20 &&
              offsetof(TVerifyPolicyParams, eku_num) == 24 &&
              offsetof(TVerifyPolicyParams, extkeyusages) == 32 &&
              offsetof(TVerifyPolicyParams, policy_num) == 40 &&
              offsetof(TVerifyPolicyParams, policies) == 48);

struct TDecryptResult {
  TCertificate Sender;
};
static_assert(sizeof(TDecryptResult) == 408);

struct TSignStatus {
  TVcertStatus Status;  // status of this signature
  TUnixTime Time;
  TCertificate* Cert;
};
static_assert(sizeof(TSignStatus) == 16 && offsetof(TSignStatus, Cert) == 8);

struct TVerifyResult {
  std::uint32_t SignNum;
  TSignStatus* Signs;
};
static_assert(sizeof(TVerifyResult) == 16 && offsetof(TVerifyResult, Signs) == 8);

struct TEncryptedInfoResult {
  std::uint32_t InfoType;
  std::uint32_t recipients_num;
  TCertId* recipients;
  TCertId sender;
};
static_assert(sizeof(TEncryptedInfoResult) == 40 &&
              offsetof(TEncryptedInfoResult, recipients) == 8 &&
              offsetof(TEncryptedInfoResult, sender) == 16);

struct TSignInfo {
  TUnixTime Time;
  TCertId* CertId;
};
static_assert(sizeof(TSignInfo) == 16 && offsetof(TSignInfo, CertId) == 8);

struct TSignedInfoResult {
  std::uint32_t InfoType;
  std::uint32_t SignNum;
  TSignInfo* Infos;
};
static_assert(sizeof(TSignedInfoResult) == 16 && offsetof(TSignedInfoResult, Infos) == 8);

struct TAddParams {
  std::uint32_t Flag;
  TCertId* MyCert;
};
struct TExportParams {
  std::uint32_t Flag;
  TCertId* MyCert;
};
struct TImportParams {
  std::uint32_t Flag;
  TCertId* MyCert;
};
static_assert(sizeof(TAddParams) == 16 && offsetof(TAddParams, MyCert) == 8);
static_assert(sizeof(TExportParams) == 16 && offsetof(TExportParams, MyCert) == 8);
static_assert(sizeof(TImportParams) == 16 && offsetof(TImportParams, MyCert) == 8);

// Size = sizeof(TLocalParam).
struct TLocalParam {
  std::uint32_t Size;
  std::uint32_t Flag;
  char* pse;
  char* LocalStore;
  char* Ldap;
  char* PinCode;
};
static_assert(sizeof(TLocalParam) == 40 && offsetof(TLocalParam, pse) == 8 &&
              offsetof(TLocalParam, LocalStore) == 16 && offsetof(TLocalParam, Ldap) == 24 &&
              offsetof(TLocalParam, PinCode) == 32);

// Size = sizeof(TCrSrvParam).
struct TCrSrvParam {
  std::uint32_t Size;
  std::uint32_t Flag;
  std::uint32_t TimeOut;
  std::uint32_t Num;
  char** Servers;  // Num addresses ("ncacn_ip_tcp:host")
};
static_assert(sizeof(TCrSrvParam) == 24 && offsetof(TCrSrvParam, TimeOut) == 8 &&
              offsetof(TCrSrvParam, Num) == 12 && offsetof(TCrSrvParam, Servers) == 16);

// --- CMS message information (version-6 interface) ------------------------

struct TCmsAttr {
  char* OID;
  TMemBlk Value;
};
static_assert(sizeof(TCmsAttr) == 24 && offsetof(TCmsAttr, Value) == 8);

struct TCmsCertID {
  std::uint32_t _type;
  union {
    struct {
      char* Issuer;
      char* SerialNumber;
      char* CertHash;
    } ias;
    char* SubjKeyId;
  };
};
static_assert(sizeof(TCmsCertID) == 32 && offsetof(TCmsCertID, ias) == 8 &&
              offsetof(TCmsCertID, SubjKeyId) == 8);

struct TCmsSigInf {
  std::uint32_t Version;
  char* DigestAlg;
  char* SignatureAlg;
  TCmsCertID SignerId;
  TUnixTime signingTime;
  std::uint32_t AuthAttr_num;
  TCmsAttr* AuthAttrs;
  std::uint32_t UnauthAttr_num;
  TCmsAttr* UnauthAttrs;
};
static_assert(sizeof(TCmsSigInf) == 88 && offsetof(TCmsSigInf, DigestAlg) == 8 &&
              offsetof(TCmsSigInf, SignatureAlg) == 16 && offsetof(TCmsSigInf, SignerId) == 24 &&
              offsetof(TCmsSigInf, signingTime) == 56 && offsetof(TCmsSigInf, AuthAttr_num) == 60 &&
              offsetof(TCmsSigInf, AuthAttrs) == 64 && offsetof(TCmsSigInf, UnauthAttr_num) == 72 &&
              offsetof(TCmsSigInf, UnauthAttrs) == 80);

struct TCmsRecInf {
  std::uint32_t _type;
  std::uint32_t Index;
  std::uint32_t Version;
  TCmsCertID OriginatorId;
  char* PublicKeyAlg;
  char* CipherAlg;
  TCmsCertID RecipientId;
};
static_assert(sizeof(TCmsRecInf) == 96 && offsetof(TCmsRecInf, Version) == 8 &&
              offsetof(TCmsRecInf, OriginatorId) == 16 &&
              offsetof(TCmsRecInf, PublicKeyAlg) == 48 && offsetof(TCmsRecInf, CipherAlg) == 56 &&
              offsetof(TCmsRecInf, RecipientId) == 64);

struct TCmsMsgInf {
  std::uint32_t _type;  // 1 signed data, 2 enveloped data
  std::uint32_t Flags;
  union {
    struct {
      std::uint32_t SignerNum;
      TCmsSigInf* Signers;
    } sig;
    struct {
      std::uint32_t RecipientNum;
      TCmsRecInf* Recipients;
      char* CipherAlg;
      std::uint32_t UnprotAttrNum;
      TCmsAttr* UnprotAttrs;
    } env;
  };
};
static_assert(sizeof(TCmsMsgInf) == 48 && offsetof(TCmsMsgInf, sig) == 8 &&
              offsetof(TCmsMsgInf, env) == 8);

// --- crypto-server functions (VCERT_Authorize) ----------------------------

enum TcrsrvFunction : std::uint32_t {
  CRSRV_FUNC_NO = 0,
  CRSRV_FUNC_ENCRYPT = 1,
  CRSRV_FUNC_DECRYPT = 2,
  CRSRV_FUNC_SIGN = 3,
  CRSRV_FUNC_ADDCERT = 4,
  CRSRV_FUNC_ADDCRL = 5,
  CRSRV_FUNC_RESIGN = 6,
};

// --- status values the wrapper tests or produces ---------------------------
// Their texts come from the library (VCERT_GetErrorText).

inline constexpr TVcertStatus VCERT_E_CONTEXT_COPY = 0xE0700001;  // context copy failed
inline constexpr TVcertStatus VCERT_E_NOT_AVAILABLE =
    0xE0700004;  // not in this mode / on this side
inline constexpr TVcertStatus VCERT_E_NOT_ENCRYPTED_0F = 0xE070000F;  // data is not encrypted
inline constexpr TVcertStatus VCERT_E_NO_CAPABILITY =
    0xE0700014;  // certificate lacks the capability
inline constexpr TVcertStatus VCERT_E_BAD_SIGNATURE = 0xE0700019;     // a signature is not valid
inline constexpr TVcertStatus VCERT_E_NOT_SIGNED = 0xE070001A;        // data is not signed
inline constexpr TVcertStatus VCERT_E_NOT_ENCRYPTED_22 = 0xE0700022;  // data is not encrypted
inline constexpr TVcertStatus VCERT_E_INIT_CSP = 0xE070002D;          // initialisation: CSP failed
inline constexpr TVcertStatus VCERT_E_INIT_CSP_KEY = 0xE0700034;  // initialisation: CSP key failed
inline constexpr TVcertStatus VCERT_E_NO_CERTIFICATE = 0xE0700036;    // certificate not found
inline constexpr TVcertStatus VCERT_E_CERT_NOT_FOUND = 0xE0700046;    // certificate not found
inline constexpr TVcertStatus VCERT_E_NOT_ENCRYPTED_83 = 0xE0700083;  // data is not encrypted
inline constexpr TVcertStatus VCERT_E_NO_KEY_STORE = 0xE071002A;      // no key store configured
inline constexpr TVcertStatus VCERT_E_WINDOW_CLOSED = 0xE072008A;     // certificate window closed

// --- entry table -----------------------------------------------------------

inline constexpr int kVcertEntryCount = 143;
inline constexpr const char* kVcertExportPrefix = "VCERT_";

// Entry names without the "VCERT_" prefix, in table order (index = VcertEntry).
inline constexpr const char* kVcertEntryNames[kVcertEntryCount] = {
    "AllocMem",
    "FindCert",
    "FreeCert",
    "FreeCertId",
    "FreeDecryptResult",
    "FreeFindResult",
    "FreeMem",
    "FreeVerifyResult",
    "GenRandom",
    "GetErrorText",
    "Initialize",
    "InitializeEx",
    "Match",
    "ParseCert",
    "ImportMem",
    "ImportFile",
    "ExportMem",
    "ExportFile",
    "SetAuthData",
    "ShowCertificate",
    "Uninitialize",
    "UpdateCRLs",
    "VerifyCert",
    "ReallocMem",
    "SignHashMem",
    "VerifyHashMem",
    "CopyCert",
    "EncodeMem",
    "DecodeMem",
    "DuplicateContext",
    "VerifyCertificatePolicy",
    "Authorize",
    "ParseCrl",
    "FreeCrl",
    "VerifyCrlPolicy",
    "ShowCrl",
    "GetErrorLineEx",
    "ShowCertificateEx",
    "ShowCrlEx",
    "BlkHashMem",
    "BlkHashFile",
    "CmsBlkAttSignMem",
    "CmsBlkAttSignFile",
    "CmsStrAttSignInitMem",
    "CmsStrAttSignUpdateMem",
    "CmsStrAttSignFinalMem",
    "CmsStrAttSignFile",
    "CmsBlkDetSignMem",
    "CmsBlkDetSignFile",
    "CmsStrDetSignInitMem",
    "CmsStrDetSignUpdateMem",
    "CmsStrDetSignFinalMem",
    "CmsStrDetSignFile",
    "CmsBlkAttVerifyMem",
    "CmsBlkAttVerifyFile",
    "CmsStrAttVerifyInitMem",
    "CmsStrAttVerifyUpdateMem",
    "CmsStrAttVerifyFinalMem",
    "CmsStrAttVerifyFile",
    "CmsBlkDetVerifyMem",
    "CmsBlkDetVerifyFile",
    "CmsStrDetVerifyInitMem",
    "CmsStrDetVerifyUpdateMem",
    "CmsStrDetVerifyFinalMem",
    "CmsStrDetVerifyFile",
    "CmsBlkEncryptMem",
    "CmsBlkEncryptFile",
    "CmsStrEncryptInitMem",
    "CmsStrEncryptUpdateMem",
    "CmsStrEncryptFinalMem",
    "CmsStrEncryptFile",
    "CmsBlkDecryptMem",
    "CmsBlkDecryptFile",
    "CmsStrDecryptInitMem",
    "CmsStrDecryptUpdateMem",
    "CmsStrDecryptFinalMem",
    "CmsStrDecryptFile",
    "CmsBlkSignAttachMem",
    "CmsBlkSignAttachFile",
    "CmsBlkSignDetachMem",
    "CmsBlkSignDetachFile",
    "CmsStrSignDetachInitMem",
    "CmsStrSignDetachUpdateMem",
    "CmsStrSignDetachFinalMem",
    "CmsStrSignDetachFile",
    "CmsBlkMsgInfMem",
    "CmsBlkMsgInfFile",
    "CmsStrMsgInfInitMem",
    "CmsStrMsgInfUpdateMem",
    "CmsStrMsgInfFinalMem",
    "CmsStrMsgInfFile",
    "CmsFreeMsgInf",
    "AddCRL",
    "AddCertificate",
    "DecryptAndVerifyFile",
    "DecryptAndVerifyMem",
    "DecryptFile",
    "DecryptMem",
    "EncryptFile",
    "EncryptMem",
    "EncryptedInfoFile",
    "EncryptedInfoMem",
    "FreeEncryptedInfoResult",
    "FreeSignedInfoResult",
    "HashFile",
    "HashMem",
    "DetachSignMem",
    "DetachSignFile",
    "AttachSignMem",
    "AttachSignFile",
    "SignAndEncryptFile",
    "SignAndEncryptMem",
    "SignFile",
    "SignMem",
    "SignedInfoFile",
    "SignedInfoMem",
    "VerifyAndSignFile",
    "VerifyAndSignMem",
    "VerifyFile",
    "VerifyMem",
    "Ctrl",
    "GetErrorLine",
    "CheckExpiringCertKey",
    "GetPkcs7InfoMem",
    "GetPkcs7InfoFile",
    "FreePkcs7Info",
    "CreateSession",
    "FreeSession",
    "SessionExport",
    "SessionImport",
    "SessionDerive",
    "SessionEncrypt",
    "SessionDecrypt",
    "CreateConnection",
    "FreeConnection",
    "ClientStep1",
    "ServerStep2",
    "ClientStep3",
    "ServerStep4",
    "ClientStep5",
    "ConnectionEncrypt",
    "ConnectionDecrypt",
    "ConnectionCtrl",
};

enum VcertEntry : int {
  veAllocMem = 0,
  veFindCert = 1,
  veFreeCert = 2,
  veFreeCertId = 3,
  veFreeDecryptResult = 4,
  veFreeFindResult = 5,
  veFreeMem = 6,
  veFreeVerifyResult = 7,
  veGenRandom = 8,
  veGetErrorText = 9,
  veInitialize = 10,
  veInitializeEx = 11,
  veMatch = 12,
  veParseCert = 13,
  veImportMem = 14,
  veImportFile = 15,
  veExportMem = 16,
  veExportFile = 17,
  veSetAuthData = 18,
  veShowCertificate = 19,
  veUninitialize = 20,
  veUpdateCRLs = 21,
  veVerifyCert = 22,
  veReallocMem = 23,
  veSignHashMem = 24,
  veVerifyHashMem = 25,
  veCopyCert = 26,
  veEncodeMem = 27,
  veDecodeMem = 28,
  veDuplicateContext = 29,
  veVerifyCertificatePolicy = 30,
  veAuthorize = 31,
  veParseCrl = 32,
  veFreeCrl = 33,
  veVerifyCrlPolicy = 34,
  veShowCrl = 35,
  veGetErrorLineEx = 36,
  veShowCertificateEx = 37,
  veShowCrlEx = 38,
  veBlkHashMem = 39,
  veBlkHashFile = 40,
  veCmsBlkAttSignMem = 41,
  veCmsBlkAttSignFile = 42,
  veCmsStrAttSignInitMem = 43,
  veCmsStrAttSignUpdateMem = 44,
  veCmsStrAttSignFinalMem = 45,
  veCmsStrAttSignFile = 46,
  veCmsBlkDetSignMem = 47,
  veCmsBlkDetSignFile = 48,
  veCmsStrDetSignInitMem = 49,
  veCmsStrDetSignUpdateMem = 50,
  veCmsStrDetSignFinalMem = 51,
  veCmsStrDetSignFile = 52,
  veCmsBlkAttVerifyMem = 53,
  veCmsBlkAttVerifyFile = 54,
  veCmsStrAttVerifyInitMem = 55,
  veCmsStrAttVerifyUpdateMem = 56,
  veCmsStrAttVerifyFinalMem = 57,
  veCmsStrAttVerifyFile = 58,
  veCmsBlkDetVerifyMem = 59,
  veCmsBlkDetVerifyFile = 60,
  veCmsStrDetVerifyInitMem = 61,
  veCmsStrDetVerifyUpdateMem = 62,
  veCmsStrDetVerifyFinalMem = 63,
  veCmsStrDetVerifyFile = 64,
  veCmsBlkEncryptMem = 65,
  veCmsBlkEncryptFile = 66,
  veCmsStrEncryptInitMem = 67,
  veCmsStrEncryptUpdateMem = 68,
  veCmsStrEncryptFinalMem = 69,
  veCmsStrEncryptFile = 70,
  veCmsBlkDecryptMem = 71,
  veCmsBlkDecryptFile = 72,
  veCmsStrDecryptInitMem = 73,
  veCmsStrDecryptUpdateMem = 74,
  veCmsStrDecryptFinalMem = 75,
  veCmsStrDecryptFile = 76,
  veCmsBlkSignAttachMem = 77,
  veCmsBlkSignAttachFile = 78,
  veCmsBlkSignDetachMem = 79,
  veCmsBlkSignDetachFile = 80,
  veCmsStrSignDetachInitMem = 81,
  veCmsStrSignDetachUpdateMem = 82,
  veCmsStrSignDetachFinalMem = 83,
  veCmsStrSignDetachFile = 84,
  veCmsBlkMsgInfMem = 85,
  veCmsBlkMsgInfFile = 86,
  veCmsStrMsgInfInitMem = 87,
  veCmsStrMsgInfUpdateMem = 88,
  veCmsStrMsgInfFinalMem = 89,
  veCmsStrMsgInfFile = 90,
  veCmsFreeMsgInf = 91,
  veAddCRL = 92,
  veAddCertificate = 93,
  veDecryptAndVerifyFile = 94,
  veDecryptAndVerifyMem = 95,
  veDecryptFile = 96,
  veDecryptMem = 97,
  veEncryptFile = 98,
  veEncryptMem = 99,
  veEncryptedInfoFile = 100,
  veEncryptedInfoMem = 101,
  veFreeEncryptedInfoResult = 102,
  veFreeSignedInfoResult = 103,
  veHashFile = 104,
  veHashMem = 105,
  veDetachSignMem = 106,
  veDetachSignFile = 107,
  veAttachSignMem = 108,
  veAttachSignFile = 109,
  veSignAndEncryptFile = 110,
  veSignAndEncryptMem = 111,
  veSignFile = 112,
  veSignMem = 113,
  veSignedInfoFile = 114,
  veSignedInfoMem = 115,
  veVerifyAndSignFile = 116,
  veVerifyAndSignMem = 117,
  veVerifyFile = 118,
  veVerifyMem = 119,
  veCtrl = 120,
  veGetErrorLine = 121,
  veCheckExpiringCertKey = 122,
  veGetPkcs7InfoMem = 123,
  veGetPkcs7InfoFile = 124,
  veFreePkcs7Info = 125,
  veCreateSession = 126,
  veFreeSession = 127,
  veSessionExport = 128,
  veSessionImport = 129,
  veSessionDerive = 130,
  veSessionEncrypt = 131,
  veSessionDecrypt = 132,
  veCreateConnection = 133,
  veFreeConnection = 134,
  veClientStep1 = 135,
  veServerStep2 = 136,
  veClientStep3 = 137,
  veServerStep4 = 138,
  veClientStep5 = 139,
  veConnectionEncrypt = 140,
  veConnectionDecrypt = 141,
  veConnectionCtrl = 142,
};

// Groups of the table, inclusive bounds.
inline constexpr int kVcertV6First = 37;  // CMS interface of version 6
inline constexpr int kVcertV6Last = 91;
inline constexpr int kVcertV5First = 92;  // message interface of version 5
inline constexpr int kVcertV5Last = 142;
inline constexpr int kVcertSessionFirst = 126;  // session and secure connection,
inline constexpr int kVcertSessionLast = 142;   // may live in xsecconn/rsecconn

// --- procedure types --------------------------------------------------------
// One per entry whose parameters the wrapper knows so far; every pointer
// argument named "out" is written by the library.

extern "C" {
using TVCERT_AllocMem = void* (*)(TVcertContext ctx, std::uint32_t len);
using TVCERT_FreeMem = void (*)(TVcertContext ctx, void* data);
using TVCERT_FreeCert = void (*)(TVcertContext ctx, TCertificate* cert);
using TVCERT_FindCert = TVcertStatus (*)(TVcertContext ctx, TFindParams* params,
                                         TFindResult* result);
// Error: a status; buf receives a zero-terminated text of at most len bytes
// including the terminator; returns buf.
using TVCERT_GetErrorText = char* (*)(TVcertStatus error, char* buf, std::uint32_t len);
// params: TLocalParam* (mode VCERT_CRYPT_LOCAL) or TCrSrvParam* (VCERT_CRYPT_SERVER).
using TVCERT_InitializeEx = TVcertStatus (*)(std::uint32_t mode, void* params,
                                             TVcertContext* context);
using TVCERT_Uninitialize = TVcertStatus (*)(TVcertContext ctx);
using TVCERT_DuplicateContext = TVcertContext (*)(TVcertContext ctx);  // null on failure
using TVCERT_ParseCert = TVcertStatus (*)(TVcertContext ctx, TMemBlk* encoded, TCertInfo info,
                                          TCertificate* cert);
using TVCERT_VerifyCert = TVcertStatus (*)(TVcertContext ctx, TVerifyParams* params,
                                           TMemBlk* encoded, TCertificate* cert);
using TVCERT_VerifyCertificatePolicy = TVcertStatus (*)(TVcertContext ctx,
                                                        TVerifyPolicyParams* params,
                                                        TMemBlk* encoded);
using TVCERT_ShowCertificate = TVcertStatus (*)(TVcertContext ctx, TMemBlk* encoded);
using TVCERT_UpdateCRLs = TVcertStatus (*)(TVcertContext ctx);
// value receives a library buffer of len random bytes (release with FreeMem).
using TVCERT_GenRandom = TVcertStatus (*)(TVcertContext ctx, std::uint32_t len, TMemBlk* value);
using TVCERT_SetAuthData = TVcertStatus (*)(TVcertContext ctx, TMemBlk* auth);
using TVCERT_Authorize = TVcertStatus (*)(TVcertContext ctx, TCertId* mycert, TcrsrvFunction func,
                                          TMemBlk* auth);
using TVCERT_ImportMem = TVcertStatus (*)(TVcertContext ctx, TImportParams* params, TMemBlk* data);
using TVCERT_AddCertificate = TVcertStatus (*)(TVcertContext ctx, TAddParams* params,
                                               TMemBlk* encoded);
// Reads the next line of the context's error stack (the newest first).
// text: the caller's buffer of textLen bytes; the library copies the error
// text into it and may fill it completely without a terminator (the caller
// cuts at the buffer). file, extra: point into the library's own storage,
// valid until the next call on this context (not to be freed). Returns 0 when
// a line was delivered, nonzero when the stack is exhausted.
using TVCERT_GetErrorLineEx = std::uint32_t (*)(TVcertContext ctx, char* text,
                                                std::uint32_t textLen, TMemBlk* file,
                                                std::uint32_t* line, TMemBlk* extra);
// server: 0 client side, 1 server side.
using TVCERT_CreateConnection = TVcertStatus (*)(TVcertContext ctx, std::uint32_t server,
                                                 TVcertConnection* conn);
using TVCERT_FreeConnection = void (*)(TVcertContext ctx, TVcertConnection conn);
// serverCert: all zero when none is given. Output messages: library buffers.
using TVCERT_ClientStep1 = TVcertStatus (*)(TVcertContext ctx, TVcertConnection conn,
                                            TCertificate* serverCert, TMemBlk* msg1);
using TVCERT_ConnectionStep = TVcertStatus (*)(TVcertContext ctx, TVcertConnection conn,
                                               TMemBlk* in, TMemBlk* out);
using TVCERT_ServerStep2 = TVCERT_ConnectionStep;
using TVCERT_ClientStep3 = TVCERT_ConnectionStep;
using TVCERT_ServerStep4 = TVCERT_ConnectionStep;
using TVCERT_ClientStep5 = TVcertStatus (*)(TVcertContext ctx, TVcertConnection conn,
                                            TMemBlk* msg4);
using TVCERT_ConnectionEncrypt = TVCERT_ConnectionStep;
using TVCERT_ConnectionDecrypt = TVCERT_ConnectionStep;
using TVCERT_ConnectionCtrl = TVcertStatus (*)(TVcertContext ctx, TVcertConnection conn,
                                               std::int32_t cmd, void* value);
}  // extern "C"

}  // namespace tarvo
