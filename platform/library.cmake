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

# A library whose dependency the loader cannot find: the dependency is built
# into a folder of its own, and the library that needs it carries no search
# path (the tree's "$ORIGIN" included), so loading it fails for the dependency
# alone. The sources are the two above; only the names differ. No test loads
# the hidden one: once in the process, it would satisfy the need by its name.
add_library(platform_library_hidden SHARED tests/data/LibraryExport.cpp)
target_link_libraries(platform_library_hidden PRIVATE tarvo_warnings)
set_target_properties(platform_library_hidden PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/library_hidden)
add_library(platform_library_orphan SHARED tests/data/LibraryDependent.cpp)
target_link_libraries(platform_library_orphan PRIVATE platform_library_hidden tarvo_warnings)
set_target_properties(platform_library_orphan PROPERTIES SKIP_BUILD_RPATH ON)

tarvo_test(platform_library_tests
  SOURCES tests/Library_test.cpp
  LINK tvPlatform)
add_dependencies(platform_library_tests platform_library_export platform_library_dependent
  platform_library_hidden platform_library_orphan)
target_compile_definitions(platform_library_tests PRIVATE
  LIBRARY_EXPORT_PATH="$<TARGET_FILE:platform_library_export>"
  LIBRARY_DEPENDENT_PATH="$<TARGET_FILE:platform_library_dependent>"
  LIBRARY_HIDDEN_PATH="$<TARGET_FILE:platform_library_hidden>"
  LIBRARY_HIDDEN_NAME="$<TARGET_SONAME_FILE_NAME:platform_library_hidden>"
  LIBRARY_ORPHAN_PATH="$<TARGET_FILE:platform_library_orphan>")
