// Fuzzes the row tables: a saved layout read from a cache stream and then fed
// with rows (so that a layout that slipped through would write outside a row
// under the sanitizers), and a block built from JSON whose cells are then all
// read, searched and saved again. Any input must end in a result or an
// EQDSException, never in a crash or a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qds/ttQDSData.h"

using namespace tarvo;

namespace {

// Rows of every kind of value, to feed into whatever layout was loaded.
const char* const kRows =
    R"([["TQBR","Sber",10,1099511627776,250.25,"2024-01-02","2024-01-02 10:30:00","18:45:00",null,"x",1,2,3],
        [null,"a",-1,0,0.5,"","2024-01-03","00:00:00","y",true,"z"],
        [],
        ["Привет",12.5,"7","8","9","10:00:00","2024-01-01","2024-01-01 00:00:00",0,0,0,0,0,0,0,0,0,0,0,0]])";

void ReadEverything(const TStructuredChunk& chunk) {
  for (std::size_t r = 0; r < chunk.RowCount(); ++r)
    for (std::size_t c = 0; c < chunk.ColumnCount(); ++c) {
      const TChunkColumn* column = chunk.GetColumn(c);
      chunk.Value(r, column);
      chunk.IsNull(r, column);
    }
  for (std::size_t c = 0; c < chunk.ColumnCount(); ++c) {
    const TChunkColumn* column = chunk.GetColumn(c);
    chunk.Find(column, std::string("TQBR"));
    chunk.Find(column, std::int64_t{10});
    chunk.Find(column, 0.5);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  static const auto rows = TJsonDocument::Parse(kRows);

  if (data[0] & 1) {
    // A saved layout from the cache.
    TQDSMemoryStream stream(bytes);
    TStructuredChunk chunk(nullptr);
    if (chunk.ReadCachedData(stream)) {
      try {
        chunk.Feed(rows->Root());
      } catch (const EQDSException&) {
      }
      ReadEverything(chunk);
      TQDSMemoryStream saved;
      chunk.SaveCachedData(saved);
    }
  } else {
    // A block from an answer.
    try {
      const auto doc = TJsonDocument::Parse(bytes);
      std::unique_ptr<TStructuredChunk> chunk;
      TStructuredChunk::LoadFromJSON(nullptr, chunk, doc->Root(), true);
      if (chunk) {
        ReadEverything(*chunk);
        TQDSMemoryStream saved;
        chunk->SaveCachedData(saved);
        saved.Seek(0);
        TStructuredChunk copy(nullptr);
        if (!copy.ReadCachedData(saved) || copy.RowSize() != chunk->RowSize()) __builtin_trap();
        chunk->Feed(rows->Root());
        ReadEverything(*chunk);
      }
    } catch (const EQDSException&) {
    }
  }
  return 0;
}
