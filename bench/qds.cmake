# Loading a large market-data answer into a document and a row table, against
# a bare RapidJSON parse of the same bytes.
find_path(QDS_BENCH_RAPIDJSON_DIR rapidjson/document.h REQUIRED)
add_executable(qds_bench ${CMAKE_CURRENT_SOURCE_DIR}/qds_bench.cpp)
target_include_directories(qds_bench SYSTEM PRIVATE ${QDS_BENCH_RAPIDJSON_DIR})
target_link_libraries(qds_bench PRIVATE ttQDS benchmark::benchmark tarvo_warnings)

# The disk cache against deflate plus plain file writes and reads.
find_package(ZLIB REQUIRED)
add_executable(qds_cache_bench ${CMAKE_CURRENT_SOURCE_DIR}/qds_cache_bench.cpp)
target_link_libraries(qds_cache_bench PRIVATE ttQDS ZLIB::ZLIB benchmark::benchmark tarvo_warnings)
