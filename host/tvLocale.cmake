# libtvLocale.so: the catalogue the libraries reach, built from the same
# sources as the updater's static copy, plus the host's extras.
tarvo_library(tvLocale SHARED
  SOURCES ${TARVO_CATALOGUE_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/tvLocale.cpp
  LINK tvPlatform)

tarvo_test(tvLocale_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvLocale_test.cpp
  LINK tvLocale)
