#include "qds/ttQDSJsonDetail.h"  // first: RapidJSON's assertion macro

#include "qds/ttQDSData.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "platform/core/CodePage.h"
#include "platform/core/Format.h"
#include "platform/core/Text.h"

namespace tarvo {

using platform::Format;
using qds_detail::FromRapid;
using qds_detail::RapidOf;

// --- documents -------------------------------------------------------------------

void TDocKeeper::SetJSON(std::unique_ptr<TJsonDocument> Document) {
  fJSON = std::move(Document);
  fRows = fCols = fMeta = fBlock0 = TJsonValue();
  if (fBlockName.empty() || !fJSON) return;
  fBlock0 = fJSON->Root().Member(fBlockName);
  if (fBlock0.IsObject()) {
    if (const TJsonValue rows = fBlock0.Member("data"); rows.IsArray()) fRows = rows;
    if (const TJsonValue cols = fBlock0.Member("columns"); cols.IsArray()) fCols = cols;
    if (const TJsonValue meta = fBlock0.Member("metadata"); meta.IsObject()) fMeta = meta;
  } else if (!fBlock0) {
    ValidEmptyDoc();
  }
}

bool TDocKeeper::Validator(TJsonValue Object, bool& Valid) {
  const TJsonValue error = Object.Member("error");
  if (!error) return true;
  fValue = error.AsText();
  Valid = false;
  return false;
}

bool TDocKeeper::getValid() {
  if (!fJSON) return false;
  bool valid = true;
  const TJsonValue root = fJSON->Root();
  if (!root.IsObject()) return valid;
  if (!Validator(root, valid)) return valid;
  for (std::size_t i = 0, n = root.MemberCount(); i < n; ++i) {
    const TJsonValue block = root.MemberValue(i);
    if (block.IsObject() && !Validator(block, valid)) break;
  }
  return valid;
}

void TDocKeeper::Save(TQDSStream& Stream) const {
  if (!fJSON) return;
  StringToStream(fJSON->Render(/*escapeNonAscii=*/true), Stream);
}

namespace {

std::shared_ptr<TDocKeeper> NewKeeper(TDocKeeperClass KeeperClass, const std::string& BlockName) {
  std::shared_ptr<TDocKeeper> keeper = KeeperClass ? KeeperClass() : TDocKeeper::Make();
  if (!keeper) throw EQDSException("The document class created no document");
  keeper->SetBlockName(BlockName);
  return keeper;
}

}  // namespace

IDocKeeperPtr LoadDocument(TDocKeeperClass KeeperClass, bool FromCache, TQDSStream& Stream,
                           const std::string& BlockName) {
  std::shared_ptr<TDocKeeper> keeper = NewKeeper(KeeperClass, BlockName);
  if (FromCache) {
    keeper->SetFeedingSource(TFeedingSource::xsCache);
    std::string text = StringFromStream(Stream);
    if (text.empty()) return nullptr;
    keeper->SetJSON(TJsonDocument::ParseOwned(std::move(text)));
  } else {
    keeper->SetFeedingSource(TFeedingSource::xsWeb);
    std::string bytes(static_cast<std::size_t>(Stream.Remaining()), '\0');
    Stream.ReadExact(bytes.data(), bytes.size());
    keeper->SetJSON(TJsonDocument::ParseOwned(std::move(bytes)));
  }
  return keeper;
}

IDocKeeperPtr LoadDocumentFromString(TDocKeeperClass KeeperClass, std::string_view Text,
                                     const std::string& BlockName) {
  if (Text.empty()) return nullptr;
  std::shared_ptr<TDocKeeper> keeper = NewKeeper(KeeperClass, BlockName);
  keeper->SetJSON(TJsonDocument::Parse(Text));
  return keeper;
}

// --- helpers for row tables ---------------------------------------------------------

namespace {

// A chunk larger than this is refused: a hostile answer of many empty rows
// under many columns must not make the client allocate without bound.
constexpr std::uint64_t kMaxChunkBytes = std::uint64_t{1} << 30;
// Row layouts wider than this are refused for the same reason.
constexpr std::uint32_t kMaxRowSize = std::uint32_t{1} << 24;

bool IsAscii(std::string_view s) noexcept {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// The key under which a text is looked up ignoring case.
// Folds texts made only of ASCII and the basic Cyrillic letters (U+0400 to
// U+045F), which is what market data is written in, without the Unicode
// library: there simple case folding is a fixed shift (U+0400-U+040F to
// U+0450-U+045F, U+0410-U+042F to U+0430-U+044F). False for any other text,
// and key is then unspecified.
bool FoldAsciiCyrillic(std::string_view text, std::string& key) {
  key.resize(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      key[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
      continue;
    }
    if (i + 1 >= n) return false;
    const unsigned char d = p[i + 1];
    unsigned char lead = c, trail = d;
    if (c == 0xD0 && d >= 0x80 && d <= 0x8F) {  // U+0400-U+040F
      lead = 0xD1;
      trail = static_cast<unsigned char>(d + 0x10);
    } else if (c == 0xD0 && d >= 0x90 && d <= 0x9F) {  // U+0410-U+041F
      trail = static_cast<unsigned char>(d + 0x20);
    } else if (c == 0xD0 && d >= 0xA0 && d <= 0xAF) {  // U+0420-U+042F
      lead = 0xD1;
      trail = static_cast<unsigned char>(d - 0x20);
    } else if (!((c == 0xD0 && d >= 0xB0 && d <= 0xBF) || (c == 0xD1 && d >= 0x80 && d <= 0x9F))) {
      return false;  // beyond the basic Cyrillic letters
    }
    key[i] = static_cast<char>(lead);
    key[i + 1] = static_cast<char>(trail);
    ++i;
  }
  return true;
}

// The key under which a text is looked up ignoring case (Unicode simple case
// folding, as platform::FoldCase).
void FoldKey(std::string_view text, std::string& key) {
  if (!FoldAsciiCyrillic(text, key)) key = platform::FoldCase(text);
}

// True when the system ANSI code page writes ASCII as ASCII (every Windows
// and ISO code page, and UTF-8): then ASCII texts need no conversion.
bool AnsiIsAsciiCompatible() {
  static constexpr std::string_view probe =
      " !\"#$%&'()*+,-./"
      "0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~";
  try {
    return platform::ToCodePage(probe) == probe;
  } catch (const std::exception&) {
    return false;
  }
}

std::string ToAnsi(std::string_view text, bool asciiCompatible) {
  if (asciiCompatible && IsAscii(text)) return std::string(text);
  return platform::ToCodePage(text);
}

std::string FromAnsi(std::string_view bytes, bool asciiCompatible) {
  if (asciiCompatible && IsAscii(bytes)) return std::string(bytes);
  return platform::FromCodePage(bytes);
}

std::string_view TrimControls(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

bool ParseInt64(std::string_view text, std::int64_t& value) {
  text = TrimControls(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

// A number written with "." as decimal point.
bool ParseDouble(std::string_view text, double& value) {
  text = TrimControls(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  return r.ec == std::errc() && r.ptr == text.data() + text.size() && std::isfinite(value);
}

// A number as a user types it: "." or "," as decimal point.
bool ParseUserDouble(std::string_view text, double& value) {
  const std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) return ParseDouble(text, value);
  if (text.find('.') != std::string_view::npos ||
      text.find(',', comma + 1) != std::string_view::npos)
    return false;
  std::string copy(text);
  copy[comma] = '.';
  return ParseDouble(copy, value);
}

template <class T>
T Load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
void Store(std::uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

const char* TypeText(TColumnType t) {
  switch (t) {
    case TColumnType::ctUnknown:
      return "unknown";
    case TColumnType::ctFixedString:
    case TColumnType::ctString:
      return "string";
    case TColumnType::ctInt32:
      return "int32";
    case TColumnType::ctInt64:
      return "int64";
    case TColumnType::ctDouble:
      return "double";
    case TColumnType::ctDateOnly:
      return "date";
    case TColumnType::ctDateTime:
      return "datetime";
    case TColumnType::ctTimeOnly:
      return "time";
  }
  return "unknown";
}

}  // namespace

// --- string pool index -------------------------------------------------------------

namespace qds_detail {

namespace {

// The pools' hash: seeded per process, so that an answer cannot be written to
// make its texts collide. Words are read little-endian on every machine, so
// that a text hashed whole and one folded and hashed byte by byte agree.
const std::uint64_t kHashSeed = [] {
  std::random_device device;
  return (std::uint64_t{device()} << 32) ^ device();
}();

std::uint64_t HashStart(std::size_t length) noexcept {
  return kHashSeed ^ (length * 0xC2B2AE3D27D4EB4Full);
}
std::uint64_t HashStep(std::uint64_t h, std::uint64_t word) noexcept {
  h = (h ^ word) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 32);
}
std::uint64_t HashFinish(std::uint64_t h) noexcept {
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebull;
  return h ^ (h >> 31);
}
// Up to eight bytes as a little-endian word.
std::uint64_t LoadWord(const char* p, std::size_t n) noexcept {
  std::uint64_t w = 0;
  for (std::size_t i = 0; i < n; ++i)
    w |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return w;
}

}  // namespace

std::uint64_t TTextIndex::Hash(std::string_view Key) noexcept {
  std::uint64_t h = HashStart(Key.size());
  const char* p = Key.data();
  std::size_t n = Key.size();
  for (; n >= 8; p += 8, n -= 8) h = HashStep(h, LoadWord(p, 8));
  if (n) h = HashStep(h, LoadWord(p, n));
  return HashFinish(h);
}

namespace {
void CheckArena(std::size_t used, std::size_t more) {
  if (more > std::numeric_limits<std::uint32_t>::max() - used)
    throw EQDSException("Too many texts in one column");
}
}  // namespace

const std::uint32_t* TTextIndex::Find(std::string_view Key, std::uint64_t h) const noexcept {
  if (fSlots.empty()) return nullptr;
  const auto tag = static_cast<std::uint32_t>(h >> 32);
  const std::size_t mask = fSlots.size() - 1;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    const Slot& s = fSlots[i];
    if (!s.entry) return nullptr;
    const Entry& e = fEntries[s.entry - 1];
    if (s.tag == tag && KeyOf(e) == Key) return &e.value;
  }
}

void TTextIndex::Insert(std::string_view Key, std::uint64_t h, std::uint32_t Value) {
  CheckArena(fBytes.size(), Key.size());
  if (fEntries.size() >= std::numeric_limits<std::uint32_t>::max() - 1)
    throw EQDSException("Too many texts in one column");
  if ((fEntries.size() + 1) * 2 > fSlots.size()) Grow();
  fEntries.push_back(
      {static_cast<std::uint32_t>(fBytes.size()), static_cast<std::uint32_t>(Key.size()), Value});
  fBytes.append(Key);
  const std::size_t mask = fSlots.size() - 1;
  std::size_t i = h & mask;
  while (fSlots[i].entry) i = (i + 1) & mask;
  fSlots[i] = {static_cast<std::uint32_t>(h >> 32), static_cast<std::uint32_t>(fEntries.size())};
}

void TTextIndex::Grow() {
  std::vector<Slot> slots(fSlots.empty() ? 16 : fSlots.size() * 2);
  const std::size_t mask = slots.size() - 1;
  // The keys lie one after another: hashing them again reads memory in order.
  for (std::size_t e = 0; e < fEntries.size(); ++e) {
    const std::uint64_t h = Hash(KeyOf(fEntries[e]));
    std::size_t i = h & mask;
    while (slots[i].entry) i = (i + 1) & mask;
    slots[i] = {static_cast<std::uint32_t>(h >> 32), static_cast<std::uint32_t>(e + 1)};
  }
  fSlots = std::move(slots);
}

void TTextIndex::Clear() noexcept {
  fSlots.clear();
  fEntries.clear();
  fBytes.clear();
}

void TFoldIndex::Place(std::vector<Slot>& slots, std::uint64_t hash,
                       std::uint32_t entry) const noexcept {
  const std::size_t mask = slots.size() - 1;
  std::size_t i = hash & mask;
  while (slots[i].entry) i = (i + 1) & mask;
  slots[i] = {static_cast<std::uint32_t>(hash >> 32), entry};
}

void TFoldIndex::Insert(std::uint64_t Hash) {
  if (fHashes.size() >= std::numeric_limits<std::uint32_t>::max() - 1)
    throw EQDSException("Too many texts in one column");
  // Up to three quarters full: linear probing stays within a cache line or
  // two, and the slots of a large pool take less of the cache.
  if ((fHashes.size() + 1) * 4 > fSlots.size() * 3) {
    std::vector<Slot> slots(fSlots.empty() ? 16 : fSlots.size() * 2);
    for (std::size_t e = 0; e < fHashes.size(); ++e)
      Place(slots, fHashes[e], static_cast<std::uint32_t>(e + 1));
    fSlots = std::move(slots);
  }
  fHashes.push_back(Hash);
  Place(fSlots, Hash, static_cast<std::uint32_t>(fHashes.size()));
}

void TTextList::Add(std::string_view Text) {
  CheckArena(fBytes.size(), Text.size());
  fStarts.push_back(static_cast<std::uint32_t>(fBytes.size()));
  fBytes.append(Text);
}

}  // namespace qds_detail

// --- columns -----------------------------------------------------------------------

std::unique_ptr<TChunkColumn> TChunkColumn::CreateEmpty(TStructuredChunk* Owner) {
  return std::unique_ptr<TChunkColumn>(new TChunkColumn(Owner));
}

std::unique_ptr<TChunkColumn> TChunkColumn::Create(TStructuredChunk* Owner, std::string Name,
                                                   int Index, TJsonValue Column) {
  std::unique_ptr<TChunkColumn> c(new TChunkColumn(Owner));
  c->fName = std::move(Name);
  c->fJsonIndex = Index;
  if (!Column.IsObject()) return c;
  c->fTypeName = std::string(Column.Member("type").String().value_or(""));
  const std::string& t = c->fTypeName;
  if (t == "int32") {
    c->fType = TColumnType::ctInt32;
  } else if (t == "int64") {
    c->fType = TColumnType::ctInt64;
  } else if (t == "double") {
    c->fType = TColumnType::ctDouble;
  } else if (t == "datetime") {
    c->fType = TColumnType::ctDateTime;
  } else if (t == "date") {
    c->fType = TColumnType::ctDateOnly;
  } else if (t == "time") {
    c->fType = TColumnType::ctTimeOnly;
  } else if (t == "string") {
    c->fType = TColumnType::ctString;
    if (const auto bytes = Column.Member("bytes").Int64()) {
      const std::int64_t width = *bytes / 3;
      if (width >= 1 && width <= 4) {
        c->fType = TColumnType::ctFixedString;
        c->fMaxSize = static_cast<int>(width);
      }
    }
  } else {
    c->fType = TColumnType::ctString;
  }
  return c;
}

std::uint32_t TChunkColumn::Width() const noexcept {
  switch (fType) {
    case TColumnType::ctUnknown:
      return 0;
    case TColumnType::ctFixedString:
      return static_cast<std::uint32_t>(fMaxSize);
    case TColumnType::ctString:
    case TColumnType::ctInt32:
      return 4;
    case TColumnType::ctInt64:
    case TColumnType::ctDouble:
    case TColumnType::ctDateOnly:
    case TColumnType::ctDateTime:
    case TColumnType::ctTimeOnly:
      return 8;
  }
  return 0;
}

namespace {

// Folds a text of ASCII and basic Cyrillic (as FoldAsciiCyrillic) and hashes
// the folded bytes in the same pass, without writing them anywhere: the hash
// equals TTextIndex::Hash of the folded text. False for any other text.
bool QuickFoldHash(std::string_view text, std::uint64_t& hash) {
  using namespace qds_detail;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::uint64_t h = HashStart(n), word = 0;
  unsigned filled = 0;
  auto put = [&](unsigned char b) {
    word |= std::uint64_t{b} << (8 * filled);
    if (++filled == 8) {
      h = HashStep(h, word);
      word = 0;
      filled = 0;
    }
  };
  for (std::size_t i = 0; i < n; ++i) {
    // Folding keeps every character's length, so input and output words line
    // up: eight ASCII bytes at a word boundary fold and hash as one word.
    if (filled == 0 && n - i >= 8) {
      const std::uint64_t w = LoadWord(text.data() + i, 8);
      if ((w & 0x8080808080808080ull) == 0) {
        const std::uint64_t aboveZ = w + 0x2525252525252525ull;  // high bit: byte > 'Z'
        const std::uint64_t fromA = w + 0x3F3F3F3F3F3F3F3Full;   // high bit: byte >= 'A'
        const std::uint64_t upper = (fromA ^ aboveZ) & 0x8080808080808080ull;
        h = HashStep(h, w | (upper >> 2));
        i += 7;
        continue;
      }
    }
    const unsigned char c = p[i];
    if (c < 0x80) {
      put(c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c);
      continue;
    }
    if (i + 1 >= n) return false;
    const unsigned char d = p[i + 1];
    if (c == 0xD0 && d >= 0x80 && d <= 0x8F) {
      put(0xD1);
      put(static_cast<unsigned char>(d + 0x10));
    } else if (c == 0xD0 && d >= 0x90 && d <= 0x9F) {
      put(0xD0);
      put(static_cast<unsigned char>(d + 0x20));
    } else if (c == 0xD0 && d >= 0xA0 && d <= 0xAF) {
      put(0xD1);
      put(static_cast<unsigned char>(d - 0x20));
    } else if ((c == 0xD0 && d >= 0xB0 && d <= 0xBF) || (c == 0xD1 && d >= 0x80 && d <= 0x9F)) {
      put(c);
      put(d);
    } else {
      return false;
    }
    ++i;
  }
  if (filled) h = HashStep(h, word);
  hash = HashFinish(h);
  return true;
}

// Whether two texts are equal ignoring case.
bool FoldedEqual(std::string_view a, std::string_view b) {
  thread_local std::string fa, fb;
  FoldKey(a, fa);
  FoldKey(b, fb);
  return fa == fb;
}

}  // namespace

std::uint32_t TChunkColumn::PoolIndex(std::string_view Text) {
  using qds_detail::TTextIndex;
  std::uint64_t foldedHash = 0;
  const bool quick = QuickFoldHash(Text, foldedHash);
  std::uint64_t exactHash = 0;
  if (!quick) {
    // Texts beyond ASCII and basic Cyrillic need the Unicode library to
    // fold: a spelling of those seen before is found as it is.
    exactHash = TTextIndex::Hash(Text);
    if (const std::uint32_t* known = fStringPool.exact.Find(Text, exactHash)) return *known;
    foldedHash = TTextIndex::Hash(platform::FoldCase(Text));
  }
  // A pool text matches when it is the same spelling or folds the same way.
  const auto same = [&](std::uint32_t i) {
    const std::string_view pooled = fStringPool.texts[i];
    return pooled == Text || FoldedEqual(pooled, Text);
  };
  std::uint32_t index;
  if (const auto merged = fStringPool.folded.Find(foldedHash, same)) {
    index = *merged;
  } else {
    index = static_cast<std::uint32_t>(fStringPool.texts.Size());
    fStringPool.texts.Add(Text);
    fStringPool.folded.Insert(foldedHash);
  }
  if (!quick) fStringPool.exact.Insert(Text, exactHash, index);
  return index;
}

std::vector<std::string> TChunkColumn::StringPool() const {
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < fStringPool.texts.Size(); ++i)
    texts.emplace_back(fStringPool.texts[i]);
  return texts;
}

void TChunkColumn::ClearPool() {
  fStringPool = StringPoolData();
}

// Places JSON values into rows. One feeder per Feed; it carries what every
// cell of the feed shares (the code page check, a scratch text).
struct ChunkFeeder {
  explicit ChunkFeeder(std::size_t columns) : memo(columns) {}

  bool asciiCompatible = AnsiIsAsciiCompatible();
  std::string text;
  // The last date text of each column and its value: the dates of an answer
  // repeat row after row.
  struct DateMemo {
    std::string text;
    double value = 0;
    bool valid = false;
  };
  std::vector<DateMemo> memo;

  [[noreturn]] static void Misfit(const TChunkColumn& c, const rapidjson::Value& v) {
    std::string shown;
    qds_detail::AppendText(v, shown);
    if (platform::CodePointCount(shown) > 40)
      shown = platform::CodePointSlice(shown, 0, 40) + "...";
    throw EQDSException(
        Format("Value %s does not fit the %s column \"%s\"", {shown, TypeText(c.fType), c.fName}));
  }

  static std::int64_t Integer(const TChunkColumn& c, const rapidjson::Value& v, std::int64_t lo,
                              std::int64_t hi) {
    std::int64_t n = 0;
    if (v.IsInt64()) {
      n = v.GetInt64();
    } else if (v.IsDouble()) {
      // 5.0 is an integer written by a careless writer; 5.5 is not.
      const double d = v.GetDouble();
      if (!(d >= -9.2e18 && d <= 9.2e18) || std::trunc(d) != d) Misfit(c, v);
      n = static_cast<std::int64_t>(d);
    } else if (v.IsString()) {
      if (!ParseInt64(std::string_view(v.GetString(), v.GetStringLength()), n)) Misfit(c, v);
    } else {
      Misfit(c, v);
    }
    if (n < lo || n > hi) Misfit(c, v);
    return n;
  }

  // Places column c (the slot-th typed column of the feed) of a JSON row.
  void Place(TChunkColumn& c, const rapidjson::Value& row, std::uint8_t* target, std::size_t slot) {
    const rapidjson::SizeType index = static_cast<rapidjson::SizeType>(c.fJsonIndex);
    if (c.fJsonIndex < 0 || index >= row.Size()) {
      target[c.fNullOffset] |= static_cast<std::uint8_t>(c.fNullMask);
      return;
    }
    const rapidjson::Value& v = row[index];
    if (v.IsNull()) {
      target[c.fNullOffset] |= static_cast<std::uint8_t>(c.fNullMask);
      return;
    }
    std::uint8_t* cell = target + c.fOffset;
    switch (c.fType) {
      case TColumnType::ctUnknown:
        return;
      case TColumnType::ctFixedString: {
        if (v.IsObject() || v.IsArray()) Misfit(c, v);
        std::string_view bytes;
        std::string converted;
        if (v.IsString() && asciiCompatible && IsAscii({v.GetString(), v.GetStringLength()})) {
          bytes = std::string_view(v.GetString(), v.GetStringLength());
        } else {
          text.clear();
          qds_detail::AppendText(v, text);
          converted = ToAnsi(text, asciiCompatible);
          bytes = converted;
        }
        const std::size_t width = static_cast<std::size_t>(c.fMaxSize);
        const std::size_t n = bytes.size() < width ? bytes.size() : width;
        std::memcpy(cell, bytes.data(), n);
        if (n < width) cell[n] = 0;
        return;
      }
      case TColumnType::ctString: {
        std::uint32_t index32;
        if (v.IsString()) {
          index32 = c.PoolIndex(std::string_view(v.GetString(), v.GetStringLength()));
        } else {
          if (v.IsObject() || v.IsArray()) Misfit(c, v);
          text.clear();
          qds_detail::AppendText(v, text);
          index32 = c.PoolIndex(text);
        }
        Store(cell, index32);
        return;
      }
      case TColumnType::ctInt32:
        Store(cell,
              static_cast<std::int32_t>(Integer(c, v, std::numeric_limits<std::int32_t>::min(),
                                                std::numeric_limits<std::int32_t>::max())));
        return;
      case TColumnType::ctInt64:
        Store(cell, Integer(c, v, std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max()));
        return;
      case TColumnType::ctDouble: {
        double d = 0;
        if (v.IsNumber())
          d = v.GetDouble();
        else if (!v.IsString() ||
                 !ParseDouble(std::string_view(v.GetString(), v.GetStringLength()), d))
          Misfit(c, v);
        Store(cell, d);
        return;
      }
      case TColumnType::ctDateOnly:
      case TColumnType::ctDateTime:
      case TColumnType::ctTimeOnly: {
        if (!v.IsString()) Misfit(c, v);
        const std::string_view s(v.GetString(), v.GetStringLength());
        if (TrimControls(s).empty()) {
          Store(cell, 0.0);
          target[c.fNullOffset] |= static_cast<std::uint8_t>(c.fNullMask);
          return;
        }
        DateMemo& m = memo[slot];
        if (!m.valid || m.text != s) {
          double d = 0;
          const bool ok = c.fType == TColumnType::ctDateOnly   ? TryParseQDSDate(s, d)
                          : c.fType == TColumnType::ctDateTime ? TryParseQDSDateTime(s, d)
                                                               : TryParseQDSTime(s, d);
          if (!ok) Misfit(c, v);
          m.text.assign(s);
          m.value = d;
          m.valid = true;
        }
        Store(cell, m.value);
        return;
      }
    }
  }
};

void TChunkColumn::PlaceValue(TJsonValue Source, std::span<std::uint8_t> Target) {
  if (!fOwner || Target.size() != fOwner->fRowSize)
    throw EQDSException("Row buffer does not match the row layout");
  const rapidjson::Value* row = RapidOf(Source);
  if (!row || !row->IsArray()) throw EQDSException("A row of the answer is not an array");
  if (fType == TColumnType::ctUnknown) return;
  ChunkFeeder feeder(1);
  feeder.Place(*this, *row, Target.data(), 0);
}

bool TChunkColumn::CouldCastToColumnType(TQDSVariant& Value) const {
  switch (fType) {
    case TColumnType::ctUnknown:
      return false;
    case TColumnType::ctFixedString:
    case TColumnType::ctString:
      Value = VarToStr(Value);
      return true;
    case TColumnType::ctInt32:
    case TColumnType::ctInt64: {
      if (std::holds_alternative<std::int32_t>(Value)) {
        Value = static_cast<std::int64_t>(std::get<std::int32_t>(Value));
        return true;
      }
      if (std::holds_alternative<std::int64_t>(Value)) return true;
      double d;
      if (const double* p = std::get_if<double>(&Value))
        d = *p;
      else if (const TQDSDateTime* t = std::get_if<TQDSDateTime>(&Value))
        d = t->value;
      else if (const std::string* s = std::get_if<std::string>(&Value)) {
        std::int64_t n;
        if (!ParseInt64(*s, n)) return false;
        Value = n;
        return true;
      } else
        return false;
      d = std::nearbyint(d);
      if (!(d >= -9.2e18 && d <= 9.2e18)) return false;
      Value = static_cast<std::int64_t>(d);
      return true;
    }
    case TColumnType::ctDouble:
    case TColumnType::ctDateOnly:
    case TColumnType::ctDateTime:
    case TColumnType::ctTimeOnly: {
      double d;
      if (const auto* i = std::get_if<std::int32_t>(&Value))
        d = *i;
      else if (const auto* l = std::get_if<std::int64_t>(&Value))
        d = static_cast<double>(*l);
      else if (const auto* f = std::get_if<double>(&Value))
        d = *f;
      else if (const auto* t = std::get_if<TQDSDateTime>(&Value))
        d = t->value;
      else if (const auto* s = std::get_if<std::string>(&Value)) {
        if (!ParseUserDouble(*s, d)) return false;
      } else
        return false;
      if (!std::isfinite(d)) return false;
      Value = d;
      return true;
    }
  }
  return false;
}

bool TChunkColumn::Fits(TChunkRow Chunk, const TQDSVariant& Value) const {
  if (fType == TColumnType::ctUnknown || !fOwner || Chunk.size() != fOwner->fRowSize) return false;
  if (Chunk[fNullOffset] & fNullMask) return false;
  const std::uint8_t* cell = Chunk.data() + fOffset;
  switch (fType) {
    case TColumnType::ctUnknown:
      return false;
    case TColumnType::ctFixedString: {
      const std::string* s = std::get_if<std::string>(&Value);
      if (!s || s->empty()) return false;
      const std::string bytes = ToAnsi(*s, AnsiIsAsciiCompatible());
      std::string_view stored(reinterpret_cast<const char*>(cell),
                              static_cast<std::size_t>(fMaxSize));
      return TrimControls(stored) == bytes;
    }
    case TColumnType::ctString: {
      const std::string* s = std::get_if<std::string>(&Value);
      const auto index = Load<std::uint32_t>(cell);
      return s && index < fStringPool.texts.Size() && fStringPool.texts[index] == *s;
    }
    case TColumnType::ctInt32: {
      const std::int64_t* n = std::get_if<std::int64_t>(&Value);
      return n && Load<std::int32_t>(cell) == *n;
    }
    case TColumnType::ctInt64: {
      const std::int64_t* n = std::get_if<std::int64_t>(&Value);
      return n && Load<std::int64_t>(cell) == *n;
    }
    case TColumnType::ctDouble: {
      const double* d = std::get_if<double>(&Value);
      return d && std::fabs(Load<double>(cell) - *d) <= 0.00001;
    }
    case TColumnType::ctDateOnly: {
      const double* d = std::get_if<double>(&Value);
      return d && std::fabs(std::trunc(*d) - Load<double>(cell)) <= 0.01;
    }
    case TColumnType::ctDateTime:
    case TColumnType::ctTimeOnly: {
      const double* d = std::get_if<double>(&Value);
      return d && std::fabs(*d - Load<double>(cell)) <= 1.0 / 172800;
    }
  }
  return false;
}

// --- chunks ------------------------------------------------------------------------

TStructuredChunk::TStructuredChunk(TWebEntity* Owner) : fOwner(Owner) {}

TStructuredChunk::TStructuredChunk(TWebEntity* Owner, TJsonValue Meta, TJsonValue Columns)
    : fOwner(Owner) {
  for (std::size_t i = 0, n = Columns.Size(); i < n; ++i) {
    const auto name = Columns[i].String();
    if (!name) throw EQDSException(Format("Column %u of the answer has no name", {i}));
    if (i > static_cast<std::size_t>(std::numeric_limits<int>::max()))
      throw EQDSException("Too many columns in the answer");
    const TJsonValue meta = Meta.Member(*name);
    auto column = TChunkColumn::Create(this, std::string(*name), static_cast<int>(i),
                                       meta.IsObject() ? meta : TJsonValue());
    if (column->fType != TColumnType::ctUnknown) InitFurther(*column);
    AddColumn(std::string(*name), std::move(column));
  }
}

TStructuredChunk::TStructuredChunk(TWebEntity* Owner, const std::vector<std::string>& Columns)
    : fOwner(Owner) {
  int index = 0;
  for (const std::string& name : Columns) {
    auto column = TChunkColumn::CreateEmpty(this);
    column->fName = name;
    column->fJsonIndex = index++;
    column->fType = TColumnType::ctString;
    InitFurther(*column);
    AddColumn(name, std::move(column));
  }
}

TStructuredChunk::~TStructuredChunk() = default;

std::unique_ptr<TStructuredChunk> TStructuredChunk::CreateFromDoc(TWebEntity* Owner,
                                                                  const IDocKeeper& Doc) {
  return std::make_unique<TStructuredChunk>(Owner, Doc.getBlock0Meta(), Doc.getBlock0Cols());
}

std::unique_ptr<TStructuredChunk> TStructuredChunk::CreateFromList(
    TWebEntity* Owner, const std::vector<std::string>& Columns) {
  return std::make_unique<TStructuredChunk>(Owner, Columns);
}

void TStructuredChunk::AddColumn(std::string MappingName, std::unique_ptr<TChunkColumn> Column) {
  std::string key;
  FoldKey(MappingName, key);
  fMappingIndex.emplace(std::move(key), fColumns.size());  // the first of a name wins
  fMappingNames.push_back(std::move(MappingName));
  fColumns.push_back(std::move(Column));
}

void TStructuredChunk::InitFurther(TChunkColumn& Column) {
  const std::uint32_t width = Column.Width();
  if (fRowSize > kMaxRowSize - width - 1) throw EQDSException("Too many columns in the answer");
  Column.fOffset = fRowSize;
  fRowSize += width;
  if (fLastNullMask == 128) {
    // Bit 7 stays unused: the next null byte follows this column's value.
    fLastNullOffset = fRowSize;
    fRowSize += 1;
    fLastNullMask = 1;
  }
  Column.fNullOffset = fLastNullOffset;
  Column.fNullMask = fLastNullMask;
  fLastNullMask = static_cast<std::uint8_t>(fLastNullMask * 2);
}

void TStructuredChunk::ResetLayout() {
  fRowSize = 1;
  fLastNullOffset = 0;
  fLastNullMask = 1;
  fRows.clear();
  fRowCount = 0;
  fMappingNames.clear();
  fColumns.clear();
  fMappingIndex.clear();
}

bool TStructuredChunk::LoadFromJSON(TWebEntity* Owner, std::unique_ptr<TStructuredChunk>& Instance,
                                    TJsonValue Data, bool FeedRows) {
  Instance.reset();
  if (!Data.IsObject()) return false;
  const TJsonValue meta = Data.Member("metadata");
  const TJsonValue cols = Data.Member("columns");
  if (!meta.IsObject() || !cols.IsArray()) return false;
  try {
    auto chunk = std::make_unique<TStructuredChunk>(Owner, meta, cols);
    if (FeedRows) {
      const TJsonValue rows = Data.Member("data");
      if (!rows) {
        Instance = std::move(chunk);
        return false;
      }
      chunk->Feed(rows);
    }
    Instance = std::move(chunk);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void TStructuredChunk::Feed(TJsonValue Rows) {
  const rapidjson::Value* rows = RapidOf(Rows);
  if (!rows || !rows->IsArray()) throw EQDSException("The rows of the answer are not an array");
  const std::size_t count = rows->Size();
  if (count && std::uint64_t(count) * fRowSize > kMaxChunkBytes)
    throw EQDSException(Format("The answer's %u rows are too large for a row table", {count}));

  std::vector<TChunkColumn*> typed;
  for (const auto& c : fColumns)
    if (c->fType != TColumnType::ctUnknown) typed.push_back(c.get());

  // Build aside and swap in, so that a failure leaves the chunk as it was.
  std::vector<TChunkColumn::StringPoolData> oldPools;
  for (TChunkColumn* c : typed) {
    oldPools.push_back(std::move(c->fStringPool));
    c->ClearPool();
  }
  try {
    std::vector<std::uint8_t> data(count * fRowSize, 0);
    ChunkFeeder feeder(typed.size());
    for (std::size_t r = 0; r < count; ++r) {
      const rapidjson::Value& row = (*rows)[static_cast<rapidjson::SizeType>(r)];
      if (!row.IsArray()) throw EQDSException(Format("Row %u of the answer is not an array", {r}));
      std::uint8_t* target = data.data() + r * fRowSize;
      for (std::size_t i = 0; i < typed.size(); ++i) feeder.Place(*typed[i], row, target, i);
    }
    fRows = std::move(data);
    fRowCount = count;
  } catch (...) {
    for (std::size_t i = 0; i < typed.size(); ++i) typed[i]->fStringPool = std::move(oldPools[i]);
    throw;
  }
}

TChunkColumn* TStructuredChunk::GetColumn(std::size_t Index) const {
  if (Index >= fColumns.size())
    throw EQDSException(
        Format("Column index %u out of range (%u columns)", {Index, fColumns.size()}));
  return fColumns[Index].get();
}

TChunkColumn* TStructuredChunk::FindColumn(std::string_view Name) const {
  std::string key;
  FoldKey(Name, key);
  const auto it = fMappingIndex.find(key);
  return it == fMappingIndex.end() ? nullptr : fColumns[it->second].get();
}

std::vector<std::string> TStructuredChunk::Mapping() const {
  return fMappingNames;
}

TChunkRow TStructuredChunk::GetRow(std::size_t Index) const {
  if (Index >= fRowCount)
    throw EQDSException(Format("Row index %u out of range (%u rows)", {Index, fRowCount}));
  return TChunkRow(fRows.data() + Index * fRowSize, fRowSize);
}

void TStructuredChunk::CheckRow(TChunkRow Chunk) const {
  if (Chunk.size() != fRowSize) throw EQDSException("Row buffer does not match the row layout");
}

void TStructuredChunk::CheckColumn(const TChunkColumn* Column) const {
  if (!Column || Column->fOwner != this) throw EQDSException("Column of another row table");
}

TQDSVariant TStructuredChunk::Value(TChunkRow Chunk, const TChunkColumn* Column) const {
  CheckColumn(Column);
  CheckRow(Chunk);
  const std::uint8_t* cell = Chunk.data() + Column->fOffset;
  switch (Column->fType) {
    case TColumnType::ctUnknown:
      return {};
    case TColumnType::ctFixedString: {
      const std::string_view stored(reinterpret_cast<const char*>(cell),
                                    static_cast<std::size_t>(Column->fMaxSize));
      const bool ascii = IsAscii(stored);
      return std::string(TrimControls(ascii ? std::string(stored) : FromAnsi(stored, false)));
    }
    case TColumnType::ctString: {
      const auto index = Load<std::uint32_t>(cell);
      if (index >= Column->fStringPool.texts.Size()) return std::string();
      return std::string(Column->fStringPool.texts[index]);
    }
    case TColumnType::ctInt32:
      return Load<std::int32_t>(cell);
    case TColumnType::ctInt64:
      return Load<std::int64_t>(cell);
    case TColumnType::ctDouble:
      return Load<double>(cell);
    case TColumnType::ctDateOnly: {
      const double d = Load<double>(cell);
      if (!(d > -9.2e18 && d < 9.2e18)) return std::int64_t{0};
      return static_cast<std::int64_t>(std::trunc(d));
    }
    case TColumnType::ctDateTime:
    case TColumnType::ctTimeOnly:
      return TQDSDateTime{Load<double>(cell)};
  }
  return {};
}

TQDSVariant TStructuredChunk::Value(std::size_t ChunkIndex, const TChunkColumn* Column) const {
  return Value(GetRow(ChunkIndex), Column);
}

TQDSVariant TStructuredChunk::Value(TChunkRow Chunk, std::string_view ColumnName) const {
  const TChunkColumn* column = FindColumn(ColumnName);
  if (!column) return {};
  return Value(Chunk, column);
}

bool TStructuredChunk::IsNull(TChunkRow Chunk, const TChunkColumn* Column) const {
  CheckColumn(Column);
  CheckRow(Chunk);
  if (Column->fType == TColumnType::ctUnknown) return true;
  return (Chunk[Column->fNullOffset] & Column->fNullMask) != 0;
}

bool TStructuredChunk::IsNull(std::size_t ChunkIndex, const TChunkColumn* Column) const {
  return IsNull(GetRow(ChunkIndex), Column);
}

std::optional<std::size_t> TStructuredChunk::Find(std::string_view ColumnName,
                                                  const TQDSVariant& aValue) const {
  const TChunkColumn* column = FindColumn(ColumnName);
  if (!column) return std::nullopt;
  return Find(column, aValue);
}

std::optional<std::size_t> TStructuredChunk::Find(const TChunkColumn* Column,
                                                  TQDSVariant Value) const {
  CheckColumn(Column);
  if (!Column->CouldCastToColumnType(Value)) return std::nullopt;
  if (Column->fType == TColumnType::ctString) {
    // At most one pool entry can equal the text exactly: look it up once,
    // then compare indexes.
    const std::string& text = std::get<std::string>(Value);
    std::string key;
    FoldKey(text, key);
    const auto index = Column->fStringPool.folded.Find(
        qds_detail::TTextIndex::Hash(key),
        [&](std::uint32_t i) { return Column->fStringPool.texts[i] == text; });
    if (!index) return std::nullopt;
    for (std::size_t r = 0; r < fRowCount; ++r) {
      const std::uint8_t* row = fRows.data() + r * fRowSize;
      if (!(row[Column->fNullOffset] & Column->fNullMask) &&
          Load<std::uint32_t>(row + Column->fOffset) == *index)
        return r;
    }
    return std::nullopt;
  }
  if (Column->fType == TColumnType::ctFixedString) {
    // Convert the text once, then compare bytes: the whole stored text must
    // equal it ("TQB" does not find "TQBR").
    const std::string& text = std::get<std::string>(Value);
    if (text.empty()) return std::nullopt;
    const std::string bytes = ToAnsi(text, AnsiIsAsciiCompatible());
    for (std::size_t r = 0; r < fRowCount; ++r) {
      const std::uint8_t* row = fRows.data() + r * fRowSize;
      if (row[Column->fNullOffset] & Column->fNullMask) continue;
      const std::string_view stored(reinterpret_cast<const char*>(row + Column->fOffset),
                                    static_cast<std::size_t>(Column->fMaxSize));
      if (TrimControls(stored) == bytes) return r;
    }
    return std::nullopt;
  }
  for (std::size_t r = 0; r < fRowCount; ++r)
    if (Column->Fits(TChunkRow(fRows.data() + r * fRowSize, fRowSize), Value)) return r;
  return std::nullopt;
}

// --- saved layouts -------------------------------------------------------------------

void TStructuredChunk::SaveCachedData(TQDSStream& Stream) const {
  if (fColumns.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw EQDSException("Too many columns to save");
  WriteI32(Stream, static_cast<std::int32_t>(fColumns.size()));
  for (std::size_t i = 0; i < fColumns.size(); ++i) {
    const TChunkColumn& c = *fColumns[i];
    EncodeStringToStream(fMappingNames[i], Stream);
    WriteU32(Stream, c.fOffset);
    EncodeStringToStream(c.fName, Stream);
    WriteI32(Stream, c.fJsonIndex);
    EncodeStringToStream(c.fTypeName, Stream);
    WriteU8(Stream, static_cast<std::uint8_t>(c.fType));
    WriteI32(Stream, c.fMaxSize);
    WriteU32(Stream, c.fNullOffset);
    WriteU32(Stream, c.fNullMask);
  }
}

bool TStructuredChunk::ReadCachedData(TQDSStream& Stream) {
  const std::uint64_t start = Stream.Position();
  ResetLayout();
  try {
    const std::int32_t count = ReadI32(Stream);
    if (count <= 0) return true;
    // The smallest saved column: three empty strings and 21 bytes of fields.
    constexpr std::uint64_t kMinColumnBytes = 3 * 4 + 4 + 4 + 1 + 4 + 4 + 4;
    if (std::uint64_t(count) > Stream.Remaining() / kMinColumnBytes)
      throw EQDSException("Column count beyond the end of the stream");

    TStructuredChunk layout(fOwner);  // rebuilt from the types, to compare
    std::vector<std::string> names;
    std::vector<std::unique_ptr<TChunkColumn>> columns;
    for (std::int32_t i = 0; i < count; ++i) {
      auto c = TChunkColumn::CreateEmpty(this);
      names.push_back(DecodedStringFromStream(Stream));
      c->fOffset = ReadU32(Stream);
      c->fName = DecodedStringFromStream(Stream);
      c->fJsonIndex = ReadI32(Stream);
      c->fTypeName = DecodedStringFromStream(Stream);
      const std::uint8_t type = ReadU8(Stream);
      c->fMaxSize = ReadI32(Stream);
      c->fNullOffset = ReadU32(Stream);
      c->fNullMask = ReadU32(Stream);
      if (type > static_cast<std::uint8_t>(TColumnType::ctTimeOnly))
        throw EQDSException("Unknown column type in a saved layout");
      c->fType = static_cast<TColumnType>(type);
      if (c->fJsonIndex < 0) throw EQDSException("Negative column index in a saved layout");
      if (c->fType == TColumnType::ctFixedString && (c->fMaxSize < 1 || c->fMaxSize > 4))
        throw EQDSException("Bad fixed string width in a saved layout");
      if (c->fType == TColumnType::ctUnknown) {
        c->fOffset = c->fNullOffset = c->fNullMask = 0;
      } else {
        TChunkColumn expected(&layout);
        expected.fType = c->fType;
        expected.fMaxSize = c->fMaxSize;
        layout.InitFurther(expected);
        if (expected.fOffset != c->fOffset || expected.fNullOffset != c->fNullOffset ||
            expected.fNullMask != c->fNullMask)
          throw EQDSException("Saved layout does not match its column types");
      }
      columns.push_back(std::move(c));
    }
    for (std::size_t i = 0; i < columns.size(); ++i)
      AddColumn(std::move(names[i]), std::move(columns[i]));
    // What a later Feed relies on: the row size and the null-bit cursor.
    fRowSize = layout.fRowSize;
    fLastNullOffset = layout.fLastNullOffset;
    fLastNullMask = layout.fLastNullMask;
    return true;
  } catch (const EQDSException&) {
    ResetLayout();
    Stream.Seek(start);
    return false;
  }
}

}  // namespace tarvo
