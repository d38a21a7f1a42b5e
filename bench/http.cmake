# Downloading 100 MB through the HTTP client's ReadData, against a plain
# libcurl transfer of the same bytes from the same local server.
find_package(CURL REQUIRED)
add_executable(http_bench ${CMAKE_CURRENT_SOURCE_DIR}/http_bench.cpp)
target_link_libraries(http_bench PRIVATE tvWinInet tarvo_http_testing CURL::libcurl
                      benchmark::benchmark tarvo_warnings)
