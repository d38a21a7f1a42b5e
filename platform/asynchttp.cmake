# The asynchronous HTTP client (a worker thread over libcurl, completions on
# the UI thread). Included at the end of platform/CMakeLists.txt, so paths are
# relative to platform/. inet.cmake finds curl and links it into tvPlatform.
find_package(CURL REQUIRED)

target_sources(tvPlatform PRIVATE AsyncHttp.cpp)
target_link_libraries(tvPlatform PRIVATE CURL::libcurl)

# Real servers on 127.0.0.1, so the executable is e2e.
tarvo_test(platform_asynchttp_tests
  SOURCES tests/AsyncHttp_test.cpp
  LINK tvPlatform tarvo_http_testing
  LABELS e2e threaded
  TIMEOUT 60)
