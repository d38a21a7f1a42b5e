# 200 documents of 1 MB fetched by four download workers of the market-data
# client from the local service simulator, end to end to the UI thread,
# against four plain libcurl transfers of the same bytes.
find_package(CURL REQUIRED)
add_executable(qdscore_bench ${CMAKE_CURRENT_SOURCE_DIR}/qdscore_bench.cpp)
target_link_libraries(qdscore_bench PRIVATE ttQDS tarvo_qdssim CURL::libcurl
                      benchmark::benchmark tarvo_warnings)
