// Test library: exports one function.
extern "C" __attribute__((visibility("default"))) int LibraryExportAnswer() {
  return 42;
}
