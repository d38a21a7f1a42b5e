// Writes the linker version script of one stand-in variant:
//   pki_exports <map file> EXCEPT [i | a-b]...   every entry but those
//   pki_exports <map file> ONLY [i | a-b]...     only those entries
// The control interface "PKISTUB_*" is always exported; everything else stays
// local, so a variant exports exactly its entries.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "crypto/vcert1.h"

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[2], "EXCEPT") != 0 && std::strcmp(argv[2], "ONLY") != 0)) {
    std::cerr << "usage: pki_exports <map> EXCEPT|ONLY [i|a-b]...\n";
    return 2;
  }
  const bool only = std::strcmp(argv[2], "ONLY") == 0;
  bool listed[tarvo::kVcertEntryCount] = {};
  for (int i = 3; i < argc; ++i) {
    int a = 0, b = 0;
    if (std::sscanf(argv[i], "%d-%d", &a, &b) == 2) {
    } else if (std::sscanf(argv[i], "%d", &a) == 1) {
      b = a;
    } else {
      std::cerr << "bad index " << argv[i] << "\n";
      return 2;
    }
    if (a < 0 || b >= tarvo::kVcertEntryCount || a > b) {
      std::cerr << "index out of range " << argv[i] << "\n";
      return 2;
    }
    for (int k = a; k <= b; ++k) listed[k] = true;
  }
  std::ofstream out(argv[1], std::ios::trunc);
  out << "{\n  global:\n    PKISTUB_*;\n";
  for (int k = 0; k < tarvo::kVcertEntryCount; ++k)
    if (listed[k] == only)
      out << "    " << tarvo::kVcertExportPrefix << tarvo::kVcertEntryNames[k] << ";\n";
  out << "  local:\n    *;\n};\n";
  out.close();
  return out ? 0 : 1;
}
