// Inside the wrapper: the part of a provider that its certificates and
// connections share (library binding, context, the facts their operations
// need). Not part of the wrapper's interface.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "crypto/Validata.h"
#include "platform/core/Library.h"
#include "platform/system/Registry.h"

namespace tarvo {

std::recursive_mutex& ValidataSettingsMutex();

class TValidataProviderCore {
 public:
  TValidataProviderCore() = default;
  // Releases the context under the settings lock (a failure is logged, never
  // raised), then unloads the libraries.
  ~TValidataProviderCore();

  // The library's error stack, lines joined with CR LF (bounded).
  std::string ErrorStack() const;
  void Check(TVcertStatus status, const std::string& sourceName) const {
    if (status != 0) Raise(status, sourceName);
  }
  [[noreturn]] void Raise(TVcertStatus status, const std::string& sourceName) const;
  // MyCert for the library: see TValidataCryptoProvider::SessionId; without
  // the provider, local mode gives null and crypto-server mode raises.
  TCertId* SessionId(const std::string& source) const;
  void Log(const std::string& line) const {
    if (onLog) onLog(line);
  }

  platform::Library tumar;  // the TUMAR CSP's loader, when the retry loaded it
  std::unique_ptr<TVCERTApi> api;
  TVcertContext ctx = nullptr;
  TPkiType pkiType = ptNone;
  bool localMode = true;
  TValidataExtensions extensions;
  TValidataCryptoProvider* owner = nullptr;
  TValidataLogEvent onLog;
};

// Texts of the wrapper's own errors.
namespace vtext {
inline constexpr const char* kNoIdentity =
    "В сертификате не определен ни идентификатор ключа, ни издатель и серийный номер";
inline constexpr const char* kNoDer =
    "В сертификате не определено его представление в DER-кодировке";
inline constexpr const char* kNoSession = "Не выбрана сессия криптосервера";
inline constexpr const char* kBadAlias = "Указан недопустимый алиас '%s' сессии криптосервера";
inline constexpr const char* kNoReceivers = "Не заданы получатели зашифрованных данных";
inline constexpr const char* kNoReceiver = "Не задан получатель зашифрованных данных";
inline constexpr const char* kTooManyServers = "Число криптосерверов не может превышать %d";
inline constexpr const char* kWrongSession = "Указан неверный сертификат сессии криптосервера";
inline constexpr const char* kBadOutputBlock =
    "Выходной блок памяти должен быть либо равен nil, либо указывать на выделенную программой "
    "область памяти размером больше входного блока";
inline constexpr const char* kClientOnly = "Функция может вызываться только на клиентской стороне";
inline constexpr const char* kServerOnly = "Функция может вызываться только на серверной стороне";
inline constexpr const char* kContextCopy = "Ошибка создания копии контекста";
}  // namespace vtext

// A number in the registry (HKCU) stored as a dword or as 4 bytes of binary
// data, by the value's own type; nullopt when missing or unreadable.
std::optional<std::uint32_t> ReadRegistryNumber(const std::string& keyPath, std::string_view name);
// A string value of an open key; empty when missing or unreadable.
std::string ReadRegistryText(const platform::RegistryKey& key, std::string_view name);

// 8-bit text of the library <-> UTF-8.
std::string FromAnsi(const char* s);
std::string ToAnsi(std::string_view s);
// Splits at any of the separator characters and at line breaks (a CR before
// an LF dropped), trimming blanks and dropping empty parts.
std::vector<std::string> SplitList(std::string_view text, std::string_view separators);

}  // namespace tarvo
