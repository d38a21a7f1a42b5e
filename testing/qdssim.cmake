# The market-data service simulator: an in-process HTTP server with the
# service's documents, answer headers, passport endpoint and scripted faults
# (QdsSimulator.h), used by the QDS client's tests, tools/qds-sim and bench/.
if(NOT TARGET PkgConfig::CPPHTTPLIB)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
endif()
find_package(OpenSSL REQUIRED)

tarvo_library(tarvo_qdssim STATIC
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/QdsSimulator.cpp
  LINK tvPlatformNet tvPlatform tarvo_testing tarvo_http_testing
  PRIVATE_LINK PkgConfig::CPPHTTPLIB OpenSSL::SSL OpenSSL::Crypto)

tarvo_test(qdssim_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/QdsSimulator_test.cpp
  LINK tarvo_qdssim ttQDS ZLIB::ZLIB
  LABELS e2e threaded
  TIMEOUT 120)
# The tests run the program too.
add_dependencies(qdssim_tests qds-sim)
