# The HTTP service layer (WinInet-shaped, over libcurl with OpenSSL). Included
# at the end of platform/CMakeLists.txt, so paths are relative to platform/.
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)

target_sources(tvPlatform PRIVATE
  Inet.cpp
  InetErrors.cpp
  InetText.cpp
  InetShared.cpp)
target_link_libraries(tvPlatform PRIVATE CURL::libcurl OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB)

# The layer against real servers on 127.0.0.1 (plain, TLS, and a raw fault
# server), so the executable is e2e.
tarvo_test(platform_inet_tests
  SOURCES
    tests/InetErrors_test.cpp
    tests/InetText_test.cpp
    tests/Inet_test.cpp
  LINK tvPlatform tarvo_http_testing CURL::libcurl OpenSSL::Crypto ZLIB::ZLIB
  LABELS e2e threaded
  TIMEOUT 120)
