// A loader library that lacks the runtime query: it loads, but the entry the
// installer asks for is not there.
extern "C" __attribute__((visibility("default"))) int CreateCoreWebView2Environment() {
  return 0;
}
