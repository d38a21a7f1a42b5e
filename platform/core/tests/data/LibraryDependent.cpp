// Test library: depends on the exporting library and calls it, but exports
// nothing of that name itself.
extern "C" int LibraryExportAnswer();
extern "C" __attribute__((visibility("default"))) int LibraryDependentAnswer() {
  return LibraryExportAnswer() + 1;
}
