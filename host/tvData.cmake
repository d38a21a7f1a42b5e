# libtvData.so: the terminal's in-memory data tables (stores, tables, columns,
# records, views, variants), our working implementation of the host library.
tarvo_library(tvData SHARED
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/tvDataError.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tvDataTypes.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tvDataVariant.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tvDataTable.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tvDataView.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tvDataStream.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tvDataUtils.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tvDataFormat.cpp
  LINK tvPlatform)

tarvo_test(tvData_tests
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvData_variant_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvData_table_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvData_view_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvData_stream_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvData_utils_test.cpp
  LINK tvData)
