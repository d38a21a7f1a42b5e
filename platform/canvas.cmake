# The raw canvas and the vector context beneath the drawing library: Cairo
# and Pango for shapes and text, fontconfig for the faces. Included at the end
# of platform/CMakeLists.txt, so paths are relative to platform/.

find_package(PkgConfig REQUIRED)
pkg_check_modules(TARVO_CANVAS_GFX REQUIRED IMPORTED_TARGET cairo pangocairo fontconfig pixman-1)

target_sources(tvPlatform PRIVATE
  CanvasTypes.cpp
  Canvas.cpp
  CanvasText.cpp
  CanvasGraphics.cpp
  CanvasSupport.cpp)
target_link_libraries(tvPlatform PRIVATE PkgConfig::TARVO_CANVAS_GFX)

tarvo_test(canvas_tests
  SOURCES
    tests/Canvas_test.cpp
    tests/CanvasText_test.cpp
    tests/CanvasGraphics_test.cpp
  LINK tvPlatform tarvo_pixel_testing)
