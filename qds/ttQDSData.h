// Answers of the market-data service and the typed row tables built from them.
//
// An answer is a JSON object whose members are blocks; a block is an object
// with "metadata" (one member per column name, each an object with "type" and,
// for strings, "bytes"), "columns" (the column names in row order) and "data"
// (rows, each an array of values in column order). An answer that carries an
// "error" member is an error answer.
//
// TDocKeeper holds one parsed answer and the block its user asked for;
// TStructuredChunk packs the rows of one block into fixed-size byte records
// with a null bitmap and shared string pools, so that a block of hundreds of
// thousands of rows does not keep one object per cell.
//
// Everything read from an answer or a cache is untrusted: types are checked
// before use, rows are never read past their end, and saved layouts are
// checked against the bytes that remain and against the row layout they
// describe before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qds/ttQDSJson.h"
#include "qds/ttQDSPrimitives.h"

namespace tarvo {

class TWebEntity;  // the web entity a chunk belongs to (never owned here)

namespace qds_detail {
// Text -> 32-bit value for the string pools: open addressing over a seeded
// hash (a hostile answer cannot choose colliding texts), so that a column of
// many distinct texts costs one probe per cell, not a walk through nodes.
class TTextIndex {
 public:
  static std::uint64_t Hash(std::string_view Key) noexcept;
  // Hash must be Hash(Key).
  const std::uint32_t* Find(std::string_view Key, std::uint64_t Hash) const noexcept;
  const std::uint32_t* Find(std::string_view Key) const noexcept {
    return Find(Key, TTextIndex::Hash(Key));
  }
  // Key must not be present yet; Hash must be Hash(Key). Throws EQDSException
  // beyond 4 GiB of keys.
  void Insert(std::string_view Key, std::uint64_t Hash, std::uint32_t Value);
  void Clear() noexcept;
  std::size_t Size() const noexcept { return fEntries.size(); }

 private:
  struct Slot {
    std::uint32_t tag = 0;    // high half of the hash
    std::uint32_t entry = 0;  // index into fEntries + 1; 0 = empty
  };
  struct Entry {
    std::uint32_t offset;  // of the key in fBytes
    std::uint32_t length;
    std::uint32_t value;
  };
  std::string_view KeyOf(const Entry& e) const noexcept {
    return {fBytes.data() + e.offset, e.length};
  }
  void Grow();
  std::vector<Slot> fSlots;
  std::vector<Entry> fEntries;
  std::string fBytes;  // all keys, one after another: no allocation per key
};

// The case-folded side of a string pool: pool index by the hash of the
// folded text. It keeps no keys of its own (the pool's texts are the keys), so
// a column of many distinct texts costs little more memory than the texts.
class TFoldIndex {
 public:
  // The first pool index with this hash that Match(index) accepts.
  template <class Match>
  std::optional<std::uint32_t> Find(std::uint64_t Hash, Match&& match) const {
    if (fSlots.empty()) return std::nullopt;
    const auto tag = static_cast<std::uint32_t>(Hash >> 32);
    const std::size_t mask = fSlots.size() - 1;
    for (std::size_t i = Hash & mask;; i = (i + 1) & mask) {
      const Slot& s = fSlots[i];
      if (!s.entry) return std::nullopt;
      if (s.tag == tag && match(s.entry - 1)) return s.entry - 1;
    }
  }
  // Adds the next pool index (Size()) under Hash.
  void Insert(std::uint64_t Hash);
  std::size_t Size() const noexcept { return fHashes.size(); }

 private:
  struct Slot {
    std::uint32_t tag = 0;    // high half of the hash
    std::uint32_t entry = 0;  // pool index + 1; 0 = empty
  };
  void Place(std::vector<Slot>& slots, std::uint64_t hash, std::uint32_t entry) const noexcept;
  std::vector<Slot> fSlots;
  std::vector<std::uint64_t> fHashes;  // by pool index, for growing
};

// The texts of a string pool, one after another in one buffer.
class TTextList {
 public:
  std::size_t Size() const noexcept { return fStarts.size(); }
  std::string_view operator[](std::size_t i) const noexcept {
    const std::size_t end = i + 1 < fStarts.size() ? fStarts[i + 1] : fBytes.size();
    return std::string_view(fBytes).substr(fStarts[i], end - fStarts[i]);
  }
  // Throws EQDSException beyond 4 GiB of texts.
  void Add(std::string_view Text);

 private:
  std::vector<std::uint32_t> fStarts;
  std::string fBytes;
};
}  // namespace qds_detail

// --- documents -------------------------------------------------------------------

// One parsed answer as its users see it. Reference-counted through
// std::shared_ptr; may be handed between threads, used by one at a time. The
// JSON values it hands out live as long as the keeper.
class IDocKeeper {
 public:
  virtual ~IDocKeeper() = default;
  // The whole document, or nullptr when there is none.
  virtual const TJsonDocument* getJSON() const = 0;
  // True when there is a document and no "error" member was found in it (see
  // TDocKeeper::getValid).
  virtual bool getValid() = 0;
  // The named block, its "data", "columns" and "metadata": none when missing.
  virtual TJsonValue getBlock0() const = 0;
  virtual TJsonValue getBlock0Rows() const = 0;
  virtual TJsonValue getBlock0Cols() const = 0;
  virtual TJsonValue getBlock0Meta() const = 0;
  virtual TFeedingSource getFeedingSource() const = 0;
  // Who handed the document over: an identity only, never owned or used here.
  virtual const void* getSender() const = 0;
  virtual void setSender(const void* Sender) = 0;
  // Writes the document in the cache form LoadDocument reads back; nothing
  // when there is no document.
  virtual void Save(TQDSStream& Stream) const = 0;
};

using IDocKeeperPtr = std::shared_ptr<IDocKeeper>;

class TDocKeeper;
// The class loaders create documents through: a factory of TDocKeeper or a
// descendant.
using TDocKeeperClass = std::shared_ptr<TDocKeeper> (*)();

class TDocKeeper : public IDocKeeper {
 public:
  TDocKeeper() = default;
  ~TDocKeeper() override = default;
  TDocKeeper(const TDocKeeper&) = delete;
  TDocKeeper& operator=(const TDocKeeper&) = delete;

  // The default TDocKeeperClass.
  static std::shared_ptr<TDocKeeper> Make() { return std::make_shared<TDocKeeper>(); }

  // Takes the document (nullptr for none) and finds the named block in it:
  // its "data", "columns" and "metadata" when the block is an object (each
  // only when of the right kind: arrays, arrays, object). A missing block asks
  // ValidEmptyDoc, whose answer changes nothing here.
  void SetJSON(std::unique_ptr<TJsonDocument> Document);

  const TJsonDocument* getJSON() const override { return fJSON.get(); }
  // Valid when there is a document and neither the root object nor any block
  // directly under it has a member "error"; the text of the first one found
  // becomes LastUpstreamError. Deeper objects are not looked at: a column
  // named "error" in a block's metadata is data, not an error answer.
  bool getValid() override;
  TJsonValue getBlock0() const override { return fBlock0; }
  TJsonValue getBlock0Rows() const override { return fRows; }
  TJsonValue getBlock0Cols() const override { return fCols; }
  TJsonValue getBlock0Meta() const override { return fMeta; }
  TFeedingSource getFeedingSource() const override { return fFeedingSource; }
  const void* getSender() const override { return fSender; }
  void setSender(const void* Sender) override { fSender = Sender; }
  // One length-prefixed string: the compact JSON text with every character
  // outside ASCII escaped.
  void Save(TQDSStream& Stream) const override;

  // Whether a document without the named block is acceptable; false here.
  virtual bool ValidEmptyDoc() { return false; }

  // The error text found by the last validation.
  const std::string& LastUpstreamError() const noexcept { return fValue; }
  const std::string& BlockName() const noexcept { return fBlockName; }

  // Used by the loaders.
  void SetBlockName(std::string Name) { fBlockName = std::move(Name); }
  void SetFeedingSource(TFeedingSource Source) { fFeedingSource = Source; }

 protected:
  // Looks at one object during validation; false stops the walk.
  bool Validator(TJsonValue Object, bool& Valid);

 private:
  TJsonValue fBlock0;
  TJsonValue fMeta;
  TJsonValue fRows;
  TJsonValue fCols;
  std::string fValue;
  std::unique_ptr<TJsonDocument> fJSON;
  const void* fSender = nullptr;
  TFeedingSource fFeedingSource = TFeedingSource::xsCache;
  std::string fBlockName;
};

// Loads a document. From the cache: one length-prefixed string (the form
// IDocKeeper::Save writes); an empty one gives nullptr. From the web: the
// bytes from the stream's position to its end, as UTF-8. Throws EQDSJsonError
// when the text is not JSON and EQDSException when the cache form is cut
// short. KeeperClass nullptr means TDocKeeper.
IDocKeeperPtr LoadDocument(TDocKeeperClass KeeperClass, bool FromCache, TQDSStream& Stream,
                           const std::string& BlockName);
// nullptr for an empty text; otherwise a keeper of the parsed text (feeding
// source xsCache). Throws EQDSJsonError when the text is not JSON.
IDocKeeperPtr LoadDocumentFromString(TDocKeeperClass KeeperClass, std::string_view Text,
                                     const std::string& BlockName);

// --- row tables ----------------------------------------------------------------------

enum class TColumnType : std::uint8_t {
  ctUnknown,
  ctFixedString,
  ctString,
  ctInt32,
  ctInt64,
  ctDouble,
  ctDateOnly,
  ctDateTime,
  ctTimeOnly
};

class TStructuredChunk;

// One row of a chunk: a read-only view of its bytes, valid until the chunk is
// fed again or freed.
using TChunkRow = std::span<const std::uint8_t>;

// A column of a chunk: where its value and its null bit live in a row, and
// (for general strings) the pool of its distinct texts.
class TChunkColumn {
 public:
  // An empty column, for reading a saved layout.
  static std::unique_ptr<TChunkColumn> CreateEmpty(TStructuredChunk* Owner);
  // A column from its metadata object (none: the column stays ctUnknown, with
  // no place in the row and no null bit; its values read as null).
  static std::unique_ptr<TChunkColumn> Create(TStructuredChunk* Owner, std::string Name, int Index,
                                              TJsonValue Column);

  const std::string& Name() const noexcept { return fName; }
  const std::string& TypeName() const noexcept { return fTypeName; }
  TColumnType ColumnType() const noexcept { return fType; }
  int MaxSize() const noexcept { return fMaxSize; }
  int JsonIndex() const noexcept { return fJsonIndex; }
  std::uint32_t Offset() const noexcept { return fOffset; }
  std::uint32_t NullOffset() const noexcept { return fNullOffset; }
  std::uint32_t NullMask() const noexcept { return fNullMask; }
  // Bytes the value takes in a row (0 for ctUnknown).
  std::uint32_t Width() const noexcept;
  // The distinct texts of a general string column (distinct ignoring case:
  // the first spelling stays), in order of appearance.
  std::vector<std::string> StringPool() const;
  std::size_t PoolSize() const noexcept { return fStringPool.texts.Size(); }

  // Writes this column's value of a JSON row into a zero-filled row buffer of
  // the owner's row size. A row shorter than the column's index gives null; a
  // value that does not fit the column (text in an integer column, an integer
  // out of range, a date that does not parse, an array in a string column)
  // throws EQDSException naming the column.
  void PlaceValue(TJsonValue Source, std::span<std::uint8_t> Target);
  // Whether the cell of this column in the row matches a value already made
  // of the column's kind by CouldCastToColumnType. Null cells never match.
  bool Fits(TChunkRow Chunk, const TQDSVariant& Value) const;
  // Turns a search value into the column's kind; false when it cannot match
  // any cell of this column.
  bool CouldCastToColumnType(TQDSVariant& Value) const;

 private:
  friend class TStructuredChunk;
  friend struct ChunkFeeder;
  explicit TChunkColumn(TStructuredChunk* Owner) : fOwner(Owner) {}

  // The pool index of a text, adding it when no entry equals it ignoring case.
  std::uint32_t PoolIndex(std::string_view Text);
  void ClearPool();

  TStructuredChunk* fOwner;
  std::uint32_t fOffset = 0;
  std::string fName;
  std::string fTypeName;
  int fJsonIndex = 0;
  TColumnType fType = TColumnType::ctUnknown;
  int fMaxSize = 0;
  std::uint32_t fNullOffset = 0;
  std::uint32_t fNullMask = 0;
  struct StringPoolData {
    qds_detail::TTextList texts;    // distinct ignoring case, in order of appearance
    qds_detail::TFoldIndex folded;  // case-folded text -> index
    qds_detail::TTextIndex exact;   // spellings that need the Unicode library to fold -> index
  };
  StringPoolData fStringPool;
};

// The rows of one block in packed form. Guarded by the lock of the view that
// owns it; not thread-safe by itself.
//
// Row layout: a null byte at offset 0, then the typed columns in column order,
// each taking its width (fixed strings their width in bytes, general strings
// and 32-bit integers 4, everything else 8). Each null byte carries seven
// columns (bits 0-6); the eighth column's bit goes into a new null byte placed
// right after that column's value, and so on.
class TStructuredChunk {
 public:
  // An empty chunk without columns, for ReadCachedData.
  explicit TStructuredChunk(TWebEntity* Owner);
  // Columns from a metadata object and the array of column names. Throws
  // EQDSException when a name is not a string.
  TStructuredChunk(TWebEntity* Owner, TJsonValue Meta, TJsonValue Columns);
  // Columns from a list of names, every one a general string column.
  TStructuredChunk(TWebEntity* Owner, const std::vector<std::string>& Columns);
  static std::unique_ptr<TStructuredChunk> CreateFromDoc(TWebEntity* Owner, const IDocKeeper& Doc);
  static std::unique_ptr<TStructuredChunk> CreateFromList(TWebEntity* Owner,
                                                          const std::vector<std::string>& Columns);
  virtual ~TStructuredChunk();
  TStructuredChunk(const TStructuredChunk&) = delete;
  TStructuredChunk& operator=(const TStructuredChunk&) = delete;

  // Builds a chunk from a block. Instance is cleared first. False when there
  // is no block, when "metadata" (an object) or "columns" (an array) is
  // missing, or when building fails (Instance stays empty). With FeedRows the
  // block's "data" is fed; a block without "data" answers false but Instance
  // still receives the chunk (columns only).
  static bool LoadFromJSON(TWebEntity* Owner, std::unique_ptr<TStructuredChunk>& Instance,
                           TJsonValue Data, bool FeedRows);

  // Builds the rows from a JSON array of row arrays, replacing any rows and
  // string pools the chunk had. All or nothing: on EQDSException (Rows not an
  // array, a row that is not an array, a value that does not fit its column)
  // the chunk keeps what it had. Rows shorter than the columns give nulls.
  void Feed(TJsonValue Rows);

  std::size_t GetRowCount() const noexcept { return fRowCount; }
  std::size_t RowCount() const noexcept { return fRowCount; }
  std::size_t ColumnCount() const noexcept { return fColumns.size(); }
  // Throws EQDSException for an index out of range.
  TChunkColumn* GetColumn(std::size_t Index) const;
  TChunkColumn* Column(std::size_t Index) const { return GetColumn(Index); }
  // By mapping name, ignoring case; nullptr when there is none.
  TChunkColumn* FindColumn(std::string_view Name) const;
  // The mapping names in column order.
  std::vector<std::string> Mapping() const;
  // Throws EQDSException for an index out of range.
  TChunkRow GetRow(std::size_t Index) const;
  std::uint32_t RowSize() const noexcept { return fRowSize; }

  // The value of a cell: null for ctUnknown; fixed strings trimmed; general
  // strings from the pool; ctDateOnly the whole day number (int64); dates and
  // times TQDSDateTime. Does not look at the null bit. A row that is not of
  // this chunk's row size, a column of another chunk or an index out of range
  // throws EQDSException.
  TQDSVariant Value(TChunkRow Chunk, const TChunkColumn* Column) const;
  TQDSVariant Value(std::size_t ChunkIndex, const TChunkColumn* Column) const;
  // By column name; null when there is no such column.
  TQDSVariant Value(TChunkRow Chunk, std::string_view ColumnName) const;
  // Whether the column's null bit is set in the row (always true for ctUnknown).
  bool IsNull(TChunkRow Chunk, const TChunkColumn* Column) const;
  bool IsNull(std::size_t ChunkIndex, const TChunkColumn* Column) const;

  // The index of the first row whose cell matches the value, or nullopt. The
  // value is first made of the column's kind (CouldCastToColumnType). Texts
  // match exactly (a fixed string "TQB" does not find "TQBR"; a general
  // string compares with the pool's spelling); integers exactly; doubles
  // within 0.00001; dates by whole day; dates with times and times within
  // half a second. Null cells never match, whatever they hold.
  std::optional<std::size_t> Find(std::string_view ColumnName, const TQDSVariant& aValue) const;
  std::optional<std::size_t> Find(const TChunkColumn* Column, TQDSVariant Value) const;

  // The column layout (rows are not saved): a 32-bit column count, then per
  // column its mapping name, offset, name, JSON index, type name, type, width
  // of fixed strings, null offset and null mask.
  virtual void SaveCachedData(TQDSStream& Stream) const;
  // Reads a saved layout into this chunk, replacing its columns and rows.
  // Every count, length, type code and offset is checked, and the layout must
  // be the one the columns' types give, so that a later Feed can never write
  // outside a row. False for anything else, with the chunk left empty and the
  // stream's position where it was. A count of 0 or less reads an empty
  // layout.
  virtual bool ReadCachedData(TQDSStream& Stream);

  TWebEntity* Owner() const noexcept { return fOwner; }

 private:
  friend class TChunkColumn;
  friend struct ChunkFeeder;

  void AddColumn(std::string MappingName, std::unique_ptr<TChunkColumn> Column);
  // Gives a typed column its place in the row and its null bit.
  void InitFurther(TChunkColumn& Column);
  void ResetLayout();
  void CheckRow(TChunkRow Chunk) const;
  void CheckColumn(const TChunkColumn* Column) const;

  TWebEntity* fOwner;
  std::uint32_t fRowSize = 1;
  std::uint32_t fLastNullOffset = 0;
  std::uint8_t fLastNullMask = 1;
  std::vector<std::uint8_t> fRows;  // fRowCount rows of fRowSize bytes
  std::size_t fRowCount = 0;
  std::vector<std::string> fMappingNames;
  std::vector<std::unique_ptr<TChunkColumn>> fColumns;
  // Folded mapping name -> first column of that name.
  std::unordered_map<std::string, std::size_t> fMappingIndex;
};

}  // namespace tarvo
