# libtvControls.so: the terminal's control library as the toolkit uses it (the
# bordered control base, the scroll bar, location pairs, extended collections,
# popup menus and the edit-control model). It builds on the platform's
# component core and window system.
tarvo_library(tvControls SHARED
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/tvControls.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tvControlsScrollBar.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tvControlsEdit.cpp
  LINK tvPlatformUI tvPlatform)

tarvo_test(tvControls_tests
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvControls_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvControlsScrollBar_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvControlsEdit_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/tests/tvControlsDrag_test.cpp
  LINK tvControls tarvo_pixel_testing)
