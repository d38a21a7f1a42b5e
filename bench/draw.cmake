# The drawing back ends drawing a chart-like frame, against Cairo and Pango
# drawing the same shapes directly (so this benchmark, alone outside
# platform/, speaks to Cairo: it is the reference), and full-frame fills
# against std::fill.
find_package(PkgConfig REQUIRED)
pkg_check_modules(TARVO_BENCH_GFX REQUIRED IMPORTED_TARGET cairo pangocairo)
add_executable(draw_bench ${CMAKE_CURRENT_SOURCE_DIR}/draw_bench.cpp)
target_link_libraries(draw_bench PRIVATE tvDraw PkgConfig::TARVO_BENCH_GFX benchmark::benchmark tarvo_warnings)
target_compile_definitions(draw_bench PRIVATE TARVO_FONTS_CONF="${CMAKE_SOURCE_DIR}/platform/gfx/fonts/fonts.conf")
