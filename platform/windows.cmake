# The window system: the headless desktop (windows, painting, input, timers)
# lives in tvPlatform; the X11 presenter is a library of its own,
# libtvPlatformX11.so, so that nothing but the programs that show windows on
# a display (the demo) links Xlib. Included at the end of
# platform/CMakeLists.txt, so paths are relative to platform/.

target_sources(tvPlatform PRIVATE
  WindowSystem.cpp
  WindowServices.cpp
  WindowDrag.cpp)

tarvo_test(window_tests
  SOURCES
    tests/WindowSystem_test.cpp
    tests/WindowServices_test.cpp
    tests/WindowDrag_test.cpp
  LINK tvPlatform tarvo_pixel_testing)

find_package(X11 COMPONENTS Xtst)
if(X11_FOUND AND X11_Xtst_FOUND)
  tarvo_library(tvPlatformX11 SHARED
    SOURCES WindowX11.cpp
    LINK tvPlatform
    PRIVATE_LINK X11::X11)

  # Runs a real Xvfb server; the tests start and stop it themselves.
  tarvo_test(window_x11_tests
    SOURCES tests/WindowX11_test.cpp
    LINK tvPlatformX11 tarvo_pixel_testing X11::X11 X11::Xtst
    LABELS e2e
    TIMEOUT 120
    SERIAL)
else()
  message(STATUS "Xlib or XTEST not found: the X11 presenter is not built")
endif()
