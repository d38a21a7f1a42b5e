// Records of requests to the market-data service.
//
// A worker creates a TQDSEntry for one attempt of one job, fills it from the
// network and, when the attempt is over, turns it into a TQDSLogEntry: a copy
// with the answer compressed (zlib, fastest level) that lives on in the
// client's request log. A log entry has a small summary byte form (bodies and
// headers left out, so that a long log stays small) and a readable text view.
//
// Entries are used by one thread at a time: the worker that made them, then
// (log entries) the user-interface thread after the message that carries them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qds/ttQDSPrimitives.h"

namespace tarvo {

// One request, as far as the log keeps it.
class TQDSBaseEntry {
 public:
  // Start tick and local start time are taken now; everything else is empty.
  TQDSBaseEntry();
  virtual ~TQDSBaseEntry() = default;

  // The request failed: its end is now.
  void Failed();

  const std::string& EntityClassName() const noexcept { return fEntityClassName; }
  double LocalStartTime() const noexcept { return fLocalStartTime; }
  std::uint32_t StartTime() const noexcept { return fStartTime; }
  std::uint32_t DownloadEndedAt() const noexcept { return fDownloadEndedAt; }
  std::string InitialFormattedURL() const { return GetFormattedURL(); }

  // The address for display: the trimmed InitialURL with "https://" (when
  // Secured) or "http://" put in front unless it has either scheme already,
  // and ":" with InitialPort inserted before the first "/" after the scheme
  // (appended when there is none), even when the address names a port.
  std::string GetFormattedURL() const;

  TTarvoPassportReply TarvoPassport = TTarvoPassportReply::mprNA;
  bool AuthRequest = false;
  bool Supported = false;
  std::uint16_t Handle = InvalidStatHandle;
  std::string InitialURL;  // host and path with query, no scheme
  std::string Msg;         // short outcome text
  int InitialPort = 0;
  int RequestStatus = 0;  // HTTP status or the error code of a failure
  int RowCount = 0;
  std::string StatusMessage;
  std::string LastModified;
  std::string ETag;
  std::uint32_t DownloadStartedAt = 0;
  std::uint32_t ParsingEndedAt = 0;
  double ServerTime = 0;
  bool Secured = false;

 protected:
  double fLocalStartTime = 0;
  std::uint32_t fStartTime = 0;
  std::uint32_t fDownloadEndedAt = 0;
  std::string fEntityClassName;
};

// A request while it is being made: the answer body accumulates here.
class TQDSEntry : public TQDSBaseEntry {
 public:
  // Supported starts true; the accumulator starts empty.
  TQDSEntry(std::uint8_t MessageSession, std::string aEntityClassName, TDataFlag Flag,
            TJobFlags aJobFlags);

  // Appends bytes of the answer; the download's end is now. Returns Count.
  std::size_t Write(const void* Buffer, std::size_t Count);
  // The same for a whole buffer, taken over without a copy when the
  // accumulator is empty. Returns the number of bytes.
  std::size_t Write(std::string&& Bytes);
  // Copies Count bytes from Source's position into the accumulator in pieces
  // of 1 MiB; the download's end is now. When Source ends early, the bytes
  // read so far stay and EQDSException ("Stream read error") is thrown.
  std::size_t CopyFrom(TQDSStream& Source, std::size_t Count);

  const std::vector<std::uint8_t>& GetPostBody() const noexcept { return fPostBody; }
  void SetPostBody(std::vector<std::uint8_t> Bytes) { fPostBody = std::move(Bytes); }
  void SetPostBody(std::string_view Bytes) { fPostBody.assign(Bytes.begin(), Bytes.end()); }

  // The best text to show for a failed answer: the body as UTF-8 text, or,
  // when it is an XML/HTML page, its headings and texts one per line (CR LF
  // line breaks), or, when it does not parse, the text of its <title>.
  std::string AccumulatorAsString() const;

  TQDSEntry* This() noexcept { return this; }
  TQDSMemoryStream& Accumulator() noexcept { return *fAccumulator; }
  const TQDSMemoryStream& Accumulator() const noexcept { return *fAccumulator; }
  std::uint8_t Session() const noexcept { return fSession; }
  TDataFlag DataFlag() const noexcept { return fDataFlag; }
  TJobFlags JobFlags() const noexcept { return fJobFlags; }

  std::string Reason;  // why the request was made
  TRequestMethod Method = TRequestMethod::mUnknown;
  std::string URN;        // path of the address, the key of validators
  std::string Signature;  // free text carried into the log

 protected:
  std::unique_ptr<TQDSMemoryStream> fAccumulator;
  std::uint8_t fSession = 0;
  TDataFlag fDataFlag = TDataFlag::ldUnknown;
  TJobFlags fJobFlags;
  std::vector<std::uint8_t> fPostBody;
};

// How the saved answer of a log entry is framed. Every form holds zlib's
// deflate data: an answer the log compressed itself (zlib), or one kept as it
// came over the wire (gzip, possibly in several members; zlib or raw for
// "deflate").
enum class TQDSPackedForm : std::uint8_t { pfZlib, pfGzip, pfRawDeflate };

// zlib's window bits for reading a form: 16 + 15, 15 or -15.
int WindowBitsOf(TQDSPackedForm Form);

// How decoding an answer ended.
enum class TAnswerDecoding { adDone, adDamaged, adTooLarge };

// Inflates Source, framed as WindowBits says, into Out (replacing it): the
// workers decode answers with it, and log entries read their saved answers.
// A gzip answer is read member by member; bytes after the end that start no
// member are not part of the answer and are left. Out grows as data decodes,
// presized by a gzip trailer's length when the body could really hold that
// much (at most 64 MiB), and keeps no growth room. adDamaged: a decoding
// error or a stream cut off (Out holds what decoded); adTooLarge: it would
// decode to more than Limit bytes. NothingDecoded: not one byte came out.
TAnswerDecoding InflateAnswer(const std::string& Source, int WindowBits, std::size_t Limit,
                              std::string& Out, bool& NothingDecoded);

// The log's copy of a request.
class TQDSLogEntry : public TQDSEntry {
 public:
  // A log copy of Source: its times, outcome and identity, the answer
  // compressed into the entry (zlib, fastest level) and the sent body as text
  // (UTF-8 when it is, else read in the system ANSI code page). Without a
  // source: an empty entry (session 0, no flags, ldUnknown, class name
  // "Log"). Throws EQDSException when the answer cannot be compressed.
  explicit TQDSLogEntry(const TQDSEntry* Source = nullptr);
  // The same copy, but keeping Packed, the answer as it came compressed over
  // the wire and framed as Form, instead of compressing the accumulator
  // again. Packed must decode to Source's accumulator: the text view decodes
  // the accumulator's size from it.
  TQDSLogEntry(const TQDSEntry& Source, std::string Packed, TQDSPackedForm Form);

  // The summary form, little-endian: local start time (double), start tick,
  // download end tick (4 each), passport reply (1), authentication request
  // (1), statistics handle (2), request status (4), compression ratio
  // (double), then the entity class name, the address, the outcome text and
  // the status text as length-prefixed strings, then the tick when sending
  // began and the tick when handling ended (4 each).
  void SaveToStream(TQDSStream& Stream) const;
  // Reads the summary form. False when the stream ends inside a field or a
  // string's length goes past its end; the fields read before that keep their
  // new values.
  bool LoadFromStream(TQDSStream& Stream);

  // The readable request and answer, one line per element. "NO DATA SAVED"
  // when there is neither an answer nor a sent body.
  virtual void LoadText(std::vector<std::string>& MemoStrings) const;

  std::int64_t Size() const noexcept { return fSize; }
  const std::string& Balancer() const noexcept { return fBalancer; }
  const std::string& Cache() const noexcept { return fCache; }
  const std::string& QVersion() const noexcept { return fQVersion; }
  const std::string& SVersion() const noexcept { return fSVersion; }
  double ComprK() const noexcept { return fComprK; }
  const std::string& DataOut() const noexcept { return fDataOut; }
  TRequestMethod LogMethod() const noexcept { return fMethod; }
  const std::string& AllHeaders() const noexcept { return fAll; }
  // The compressed answer, or nullptr when none was saved, and its framing.
  const TQDSMemoryStream* DataIn() const noexcept { return fDataIn.get(); }
  TQDSPackedForm DataInForm() const noexcept { return fDataInForm; }

  // Filled by the worker after the copy is made.
  void SetBalancer(std::string v) { fBalancer = std::move(v); }
  void SetCache(std::string v) { fCache = std::move(v); }
  void SetQVersion(std::string v) { fQVersion = std::move(v); }
  void SetSVersion(std::string v) { fSVersion = std::move(v); }
  void SetComprK(double v) { fComprK = v; }
  void SetAllHeaders(std::string v) { fAll = std::move(v); }

 private:
  // Everything but the answer, from Source.
  void CopyRecord(const TQDSEntry& Source);

 protected:
  std::unique_ptr<TQDSMemoryStream> fDataIn;
  TQDSPackedForm fDataInForm = TQDSPackedForm::pfZlib;
  std::string fDataOut;
  TRequestMethod fMethod = TRequestMethod::mUnknown;
  std::int64_t fSize = 0;
  std::string fBalancer;
  std::string fCache;
  std::string fQVersion;
  std::string fSVersion;
  double fComprK = 0;
  std::string fAll;
};

// Lays out JSON-like text one element per line for reading: a line ends after
// each "," and each opening bracket, nested levels are indented by two blanks
// (at most 64 levels deep; deeper levels keep that indent), and a closing
// bracket gets a line of its own. Quotes toggle a string state in which
// nothing is structural; no escapes are recognised. Works without recursion,
// so any nesting is safe. Lines are appended to Lines.
void LayoutJSONText(std::string_view Text, std::vector<std::string>& Lines);

}  // namespace tarvo
