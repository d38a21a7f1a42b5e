// The ground every part of the market-data (QDS) client stands on: its error
// class, the enumerations that travel between workers, views and the request
// log, the dynamically typed cell value, byte streams with length-prefixed
// strings, the fixed date format of the service and the client's problem flags.
//
// Enumerations keep their declared order: their ordinals are written into
// byte streams (the request log's summary form, cached chunk layouts), so a
// reordering would misread data saved by an earlier run.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "platform/core/Sets.h"

namespace tarvo {

// --- errors ------------------------------------------------------------------

// The client's own error. what() is the main instruction ("MainInst"), Text()
// the longer explanation; both are meant for the user and never carry secrets.
class EQDSException : public std::runtime_error {
 public:
  explicit EQDSException(const std::string& MainInst, std::string Text = {})
      : std::runtime_error(MainInst), fText(std::move(Text)) {}
  const std::string& Text() const noexcept { return fText; }

  // Shows the error to the user: the host's task dialog with the default
  // caption, Text() as the main text and what() as the content. The task
  // dialog library belongs to the terminal; until one is installed with
  // SetTaskDialogPresenter this does nothing (workers never call it: it is
  // for the user-interface thread).
  void MessageBox() const;

  // What the host gives the client to show a task dialog: caption (empty for
  // the default), main instruction and content.
  using TTaskDialogPresenter = void (*)(const std::string& caption, const std::string& mainText,
                                        const std::string& content);
  // Installs the presenter for the whole process (nullptr removes it).
  // Thread-safe.
  static void SetTaskDialogPresenter(TTaskDialogPresenter presenter) noexcept;

 private:
  std::string fText;
};

// --- enumerations ------------------------------------------------------------

// HTTP method of a request.
enum class TRequestMethod : std::uint8_t { mUnknown, mGet, mPost, mPut, mDelete };
inline constexpr const char* RequestMethodNames[] = {"", "GET", "POST", "PUT", "DELETE"};

// Where a document came from.
enum class TFeedingSource : std::uint8_t { xsCache, xsWeb, xsVirtual };

// What the answer's passport marker header said.
enum class TTarvoPassportReply : std::uint8_t { mprNA, mprDenied, mprGranted };

// Origin of the data of a request: ldWeb for ordinary downloads, ldAlternative
// for an entity in its alternative loading process, ldUnknown for requests
// that belong to no entity.
enum class TDataFlag : std::uint8_t { ldCache, ldUnknown, ldWeb, ldAlternative };

// Marks of the job that produced a request.
enum class TJobFlag : std::uint8_t { jfGotProblem, jfFirst, jfInteractive };

// Outcome class of a logged request; nothing in the core assigns it.
enum class TEntryType : std::uint8_t { leLost, leError, leWell };

// Problems of a client.
enum class TQDSProblem : std::uint8_t {
  pGlobalOffline,
  pCriticalServerError,
  pRecoverableServerError
};

// Trade engines the terminal can be connected to.
enum class TQDSTEID : std::uint8_t {
  eiStock,
  eiState,
  eiCurrency,
  eiFutures,
  eiCommodity,
  eiInterventions,
  eiDULM
};

// Sets of these enumerations are TEnumSet (platform/core/Sets.h): 32 bits.
using TJobFlags = TEnumSet<TJobFlag>;
using TQDSProblems = TEnumSet<TQDSProblem>;

// The value of an entry's Handle when no statistics handle was given.
inline constexpr std::uint16_t InvalidStatHandle = 0;

// --- process-wide switches ------------------------------------------------------

// The trade engine the terminal is connected to; the terminal sets it before
// it creates the client. Default eiStock.
extern std::atomic<TQDSTEID> QDSTradeEngineID;
// Service engine names and terminal product codes, indexed by TQDSTEID.
inline constexpr const char* TEIDs[] = {"stock",     "state",         "currency", "futures",
                                        "commodity", "interventions", "dulm"};
inline constexpr const char* TTProductIDs[] = {"SE", "TI", "CU", "F&O", "CM", "IV", "DULMSE"};
// The service is used at all; addresses name board groups where they can.
extern std::atomic<bool> USE_QDS;
extern std::atomic<bool> USE_BOARDGROUPS;

// --- cell values -----------------------------------------------------------------

// A date-time (days since 1899-12-30, the fraction the time of day) kept apart
// from plain doubles so that a value says what it is.
struct TQDSDateTime {
  double value = 0;
  friend bool operator==(TQDSDateTime, TQDSDateTime) = default;
};

// The dynamically typed value of a cell, a parameter or a search key: null,
// Boolean, 32- and 64-bit integers, double, text (UTF-8) or date-time.
using TQDSVariant = std::variant<std::monostate, bool, std::int32_t, std::int64_t, double,
                                 std::string, TQDSDateTime>;

inline bool VarIsNull(const TQDSVariant& v) {
  return std::holds_alternative<std::monostate>(v);
}
// The text of a value: "" for null, "True"/"False", integers in decimal,
// doubles in their shortest round-trip form with "." as decimal point,
// date-times in the service's format ("yyyy-mm-dd hh:nn:ss", the time left
// out when it is midnight).
std::string VarToStr(const TQDSVariant& v);

// --- dates of the service ------------------------------------------------------------

// How the service writes dates and times in documents and addresses.
struct TQDSFormatSettings {
  char DateSeparator = '-';
  std::string ShortDateFormat = "yyyy-mm-dd";
  char TimeSeparator = ':';
  std::string ShortTimeFormat = "hh:nn:ss";
  std::string LongTimeFormat = "hh:nn:ss";
  char ListSeparator = ' ';
  char DecimalSeparator = '.';
};
extern const TQDSFormatSettings qdsFormatSettings;

// Parses a date ("2024-01-02"), a date with a time ("2024-01-02 10:30:00",
// also with "T" between them or no time at all) or a time ("10:30:00", seconds
// and milliseconds optional) in the service's format. Fields may have fewer
// digits ("2024-1-2"). Answers false for anything else, including fields out
// of range; never throws.
bool TryParseQDSDate(std::string_view text, double& result);
bool TryParseQDSDateTime(std::string_view text, double& result);
bool TryParseQDSTime(std::string_view text, double& result);
// Formats as "yyyy-mm-dd hh:nn:ss" (the time left out when it is midnight).
std::string FormatQDSDateTime(double value);

// --- byte streams ----------------------------------------------------------------

// A positioned byte stream, the Delphi TStream of the client's byte formats.
// Used by one thread at a time.
class TQDSStream {
 public:
  virtual ~TQDSStream() = default;
  // Reads up to count bytes at the position; returns how many were read (fewer
  // only at the end).
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes all bytes at the position or throws EQDSException.
  virtual void Write(const void* data, std::size_t count) = 0;
  virtual std::uint64_t Position() const = 0;
  // Moves the position; a position past the end throws EQDSException.
  virtual void Seek(std::uint64_t position) = 0;
  virtual std::uint64_t Size() const = 0;

  std::uint64_t Remaining() const {
    const std::uint64_t size = Size(), pos = Position();
    return pos < size ? size - pos : 0;
  }
  // Reads exactly count bytes or throws EQDSException ("Stream read error")
  // without consuming anything when fewer remain.
  void ReadExact(void* buffer, std::size_t count);
  void Write(std::string_view bytes) { Write(bytes.data(), bytes.size()); }
};

// A stream over an owned, growable byte buffer.
class TQDSMemoryStream final : public TQDSStream {
 public:
  TQDSMemoryStream() = default;
  explicit TQDSMemoryStream(std::string bytes) : fData(std::move(bytes)) {}

  std::size_t Read(void* buffer, std::size_t count) override;
  void Write(const void* data, std::size_t count) override;
  std::uint64_t Position() const override { return fPosition; }
  void Seek(std::uint64_t position) override;
  std::uint64_t Size() const override { return fData.size(); }

  // The whole content, independent of the position.
  const std::string& Bytes() const noexcept { return fData; }
  // Writes Bytes at the position like Write, but takes the buffer over
  // instead of copying it when the stream is empty.
  void Write(std::string&& Bytes);
  void Clear() noexcept {
    fData.clear();
    fPosition = 0;
  }

 private:
  std::string fData;
  std::size_t fPosition = 0;
};

// Little-endian fixed-size fields of the client's byte formats. Readers throw
// EQDSException when the stream ends before the field does.
void WriteU8(TQDSStream& s, std::uint8_t v);
void WriteU16(TQDSStream& s, std::uint16_t v);
void WriteU32(TQDSStream& s, std::uint32_t v);
void WriteI32(TQDSStream& s, std::int32_t v);
void WriteU64(TQDSStream& s, std::uint64_t v);
void WriteDouble(TQDSStream& s, double v);
std::uint8_t ReadU8(TQDSStream& s);
std::uint16_t ReadU16(TQDSStream& s);
std::uint32_t ReadU32(TQDSStream& s);
std::int32_t ReadI32(TQDSStream& s);
std::uint64_t ReadU64(TQDSStream& s);
double ReadDouble(TQDSStream& s);

// Length-prefixed strings: a 32-bit little-endian byte count, then the bytes.
// Writing bytes longer than 4 GiB - 1 throws EQDSException (never truncated).
void StringToStream(std::string_view Bytes, TQDSStream& Stream);
// Writes a text (UTF-8 inside the toolkit, so the bytes are already UTF-8).
void EncodeStringToStream(std::string_view Text, TQDSStream& Stream);
// Reads the bytes of one string. The count is checked against the bytes that
// remain before anything is allocated: a truncated stream or a count beyond
// its end throws EQDSException and leaves the position where it was.
std::string StringFromStream(TQDSStream& Stream);
// As StringFromStream, then decoded as UTF-8: invalid sequences become U+FFFD.
std::string DecodedStringFromStream(TQDSStream& Stream);

// --- text helpers shared by the client ----------------------------------------------

// True when bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view bytes) noexcept;
// The bytes as UTF-8 text: kept when valid, else every bad byte becomes U+FFFD.
std::string SanitizeUtf8(std::string_view bytes);

// --- problem flags -----------------------------------------------------------------

// The process-wide problem flags of one client; any thread may read or write
// them, each access takes the lock.
class TQDSBasicContext {
 public:
  TQDSProblems GetProblems() const;
  void SetProblems(TQDSProblems Value);

 private:
  TQDSProblems fProblems;
  mutable std::mutex fGuard;
};

}  // namespace tarvo
