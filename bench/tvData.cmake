# Compiled record filters against a hand-written loop over the same raw cells
# and against SQLite evaluating the same conditions in memory.
find_package(SQLite3 REQUIRED)
add_executable(filter_bench ${CMAKE_CURRENT_SOURCE_DIR}/filter_bench.cpp)
target_link_libraries(filter_bench PRIVATE tvAction SQLite::SQLite3 benchmark::benchmark
                      tarvo_warnings)
