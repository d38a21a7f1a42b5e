# Local sockets between the processes of one user, and process start times.
# Included at the end of platform/CMakeLists.txt, so paths are relative to
# platform/.

target_sources(tvPlatform PRIVATE
  LocalSocket.cpp
  ProcessInfo.cpp)

# The listener runs a thread of its own; these tests also start processes.
tarvo_test(platform_localsocket_tests
  SOURCES
    tests/LocalSocket_test.cpp
  LINK tvPlatform
  LABELS e2e
  TIMEOUT 60)
add_dependencies(platform_localsocket_tests platform_services_helper)
