# Running a piece of a test as an unprivileged user (Unprivileged.h): part of
# the shared test support that every test executable links.
target_sources(tarvo_testing PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/Unprivileged.cpp)
