# The catalogue's lookups against a plain hash-map lookup of the same key.
add_executable(translate_bench ${CMAKE_CURRENT_SOURCE_DIR}/translate_bench.cpp)
target_link_libraries(translate_bench PRIVATE tvTranslate benchmark::benchmark tarvo_warnings)
