// Cost of Translate for a hit, a miss and a text with two variables, against a
// std::unordered_map lookup of the same key (copying the found value, as
// Translate returns a copy) measured in the same run.
//
// Run: build/default/bin/translate_bench
#include <string>
#include <unordered_map>

#include "bench/RatioReporter.h"
#include "updater/Translate.h"

namespace {

using tarvo::TTarvoFileTranslator;
using tarvo::TTarvoTranslator;

// A catalogue the size of a real language: 12 sections of 80 keys each.
struct Catalogue {
  std::unique_ptr<TTarvoFileTranslator> translator =
      TTarvoTranslator::Create<TTarvoFileTranslator>();
  std::unordered_map<std::string, std::string> map;

  Catalogue() {
    for (int s = 0; s < 12; ++s) {
      const std::string section = "Section" + std::to_string(s);
      for (int k = 0; k < 80; ++k) {
        const std::string key = "SomeIdentifier" + std::to_string(k);
        const std::string value = "Translated text number " + std::to_string(k) + " of the section";
        translator->Replace(section, key, value);
        map[section + "\x01" + key] = value;
      }
    }
    translator->Replace("Variables", "product", "Tarvo Trade");
    translator->Replace("Variables", "company", "Orvanta");
    translator->Replace("Section5", "WithVariables", "Welcome to ${Product} by ${company}!");
  }
};

Catalogue& Shared() {
  static Catalogue c;
  return c;
}

void BM_HashMapLookup(benchmark::State& state) {
  auto& map = Shared().map;
  const std::string key = std::string("Section5") + "\x01" + "SomeIdentifier42";
  for (auto _ : state) {
    auto it = map.find(key);
    std::string value = it->second;
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_HashMapLookup);

void BM_TranslateHit(benchmark::State& state) {
  const auto& t = *Shared().translator;
  for (auto _ : state) {
    std::string value = t.Translate("Section5", "SomeIdentifier42", "Default text");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_TranslateHit);

void BM_TranslateMiss(benchmark::State& state) {
  const auto& t = *Shared().translator;
  for (auto _ : state) {
    std::string value = t.Translate("Section5", "NoSuchIdentifier", "Default text of a miss");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_TranslateMiss);

void BM_TranslateTwoVariables(benchmark::State& state) {
  const auto& t = *Shared().translator;
  for (auto _ : state) {
    std::string value = t.Translate("Section5", "WithVariables", "Default");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_TranslateTwoVariables);

}  // namespace

int main(int argc, char** argv) {
  return tarvo::bench::RunWithRatios(argc, argv,
                                     {{"BM_TranslateHit", "BM_HashMapLookup"},
                                      {"BM_TranslateMiss", "BM_HashMapLookup"},
                                      {"BM_TranslateTwoVariables", "BM_HashMapLookup"}});
}
