# libtvLocale.so: the catalogue the libraries reach, the same objects as the
# updater's static copy (tvCatalogue, updater/CMakeLists.txt), plus the
# host's extras.
tarvo_library(tvLocale SHARED
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tvLocale.cpp
  LINK tvPlatform
  PRIVATE_LINK tvCatalogue)

tarvo_test(tvLocale_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvLocale_test.cpp
  LINK tvLocale)
