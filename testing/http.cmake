# Servers for HTTP tests: an in-process HTTP/HTTPS server (cpp-httplib with
# OpenSSL) and a raw TCP fault server. Linked by the tests that need them.
find_package(PkgConfig REQUIRED)
pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)

tarvo_library(tarvo_http_testing STATIC
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/HttpServerThread.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/HttpTestServer.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/FaultServer.cpp
  LINK tvPlatformNet tvPlatform tarvo_testing
  PRIVATE_LINK PkgConfig::CPPHTTPLIB OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB)

# The test servers' own start and stop.
tarvo_test(http_testing_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/HttpServerThread_test.cpp
  LINK tarvo_http_testing PkgConfig::CPPHTTPLIB
  LABELS e2e threaded
  TIMEOUT 120)
