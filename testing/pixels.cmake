# Pixel checks and reference-image comparison for drawing tests. A library of
# its own because it speaks GoogleTest's assertion results; drawing tests link
# it beside what tarvo_test() gives them.
tarvo_library(tarvo_pixel_testing STATIC
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/Pixels.cpp
  LINK tvPlatformGfx tvPlatform tarvo_testing GTest::gtest)
