# The version resource of executables, libraries and data files, stored as a
# trailer (VersionInfo.h). Included at the end of platform/CMakeLists.txt, so
# paths are relative to platform/. Its tests live with the updater, which is
# what reads version information (updater/tests/FileSysInfo_test.cpp).

target_sources(tvPlatform PRIVATE VersionInfo.cpp)
