# Platform services: registry, kernel objects, processes, dialogs, the UI-thread
# message queue and window enumeration. Included at the end of
# platform/CMakeLists.txt, so paths are relative to platform/.

target_sources(tvPlatform PRIVATE
  Registry.cpp
  KernelObjects.cpp
  Process.cpp
  Dialogs.cpp
  MessageQueue.cpp
  WindowList.cpp)

# A small program the tests start as a child process: it holds mutexes, writes
# registry keys and shared memory, and reports its arguments and folder.
add_executable(platform_services_helper tests/helpers/ServicesHelper.cpp)
target_link_libraries(platform_services_helper PRIVATE tvPlatform tarvo_warnings tarvo_sanitize)

# Most of these tests start processes, so the whole executable is e2e. The
# registry race writes 2000 values, each flushed to disk: allow for a slow disk.
tarvo_test(platform_services_tests
  SOURCES
    tests/Registry_test.cpp
    tests/KernelObjects_test.cpp
    tests/Process_test.cpp
    tests/Dialogs_test.cpp
    tests/MessageQueue_test.cpp
    tests/WindowList_test.cpp
  LINK tvPlatform
  LABELS e2e threaded
  TIMEOUT 300)
add_dependencies(platform_services_tests platform_services_helper)
