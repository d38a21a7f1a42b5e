# Run-time library loading (dlopen with Windows error codes). Included at the
# end of platform/CMakeLists.txt, so paths are relative to platform/.

target_sources(tvPlatform PRIVATE Library.cpp)
target_link_libraries(tvPlatform PRIVATE ${CMAKE_DL_LIBS})

# Two small libraries: one exports a function, the other only links it (so a
# lookup through the second must not find the first one's symbol).
add_library(platform_library_export SHARED tests/data/LibraryExport.cpp)
target_link_libraries(platform_library_export PRIVATE tarvo_warnings)
add_library(platform_library_dependent SHARED tests/data/LibraryDependent.cpp)
target_link_libraries(platform_library_dependent PRIVATE platform_library_export tarvo_warnings)

tarvo_test(platform_library_tests
  SOURCES tests/Library_test.cpp
  LINK tvPlatform)
add_dependencies(platform_library_tests platform_library_export platform_library_dependent)
target_compile_definitions(platform_library_tests PRIVATE
  LIBRARY_EXPORT_PATH="$<TARGET_FILE:platform_library_export>"
  LIBRARY_DEPENDENT_PATH="$<TARGET_FILE:platform_library_dependent>")
