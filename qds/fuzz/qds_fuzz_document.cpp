// Fuzzes everything that reads an answer of the service as it arrives: the
// document parser and its validation, the cache form of a document, the text
// view of the request log and the failure text of an error page. Any input
// must end in a result or an EQDSException, never in a crash, a hang or a
// sanitizer report.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qds/ttQDSBaseLog.h"
#include "qds/ttQDSData.h"

using namespace tarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // The answer as it comes from the web, and as the cache holds it.
  try {
    TQDSMemoryStream web(bytes);
    if (IDocKeeperPtr doc = LoadDocument(nullptr, false, web, "securities")) {
      doc->getValid();
      TQDSMemoryStream saved;
      doc->Save(saved);
      saved.Seek(0);
      IDocKeeperPtr again = LoadDocument(nullptr, true, saved, "securities");
      if (!again || again->getJSON()->Render() != doc->getJSON()->Render()) __builtin_trap();
      std::unique_ptr<TStructuredChunk> chunk;
      TStructuredChunk::LoadFromJSON(nullptr, chunk, doc->getBlock0(), true);
    }
  } catch (const EQDSException&) {
  }
  try {
    TQDSMemoryStream cached(bytes);
    if (IDocKeeperPtr doc = LoadDocument(nullptr, true, cached, "securities")) doc->getValid();
  } catch (const EQDSException&) {
  }

  // The request log's views of the same bytes.
  TQDSEntry entry(1, "Fuzz", TDataFlag::ldWeb, {});
  entry.Write(bytes.data(), bytes.size());
  entry.SetPostBody(std::string_view(bytes).substr(0, size / 2));
  entry.AccumulatorAsString();
  const TQDSLogEntry log(&entry);
  std::vector<std::string> lines;
  log.LoadText(lines);

  TQDSMemoryStream summary(bytes);
  TQDSLogEntry loaded;
  loaded.LoadFromStream(summary);
  return 0;
}
