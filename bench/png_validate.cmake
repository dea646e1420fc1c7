# "validate:png"'s work on PNGs of ~63 and ~32 MiB: the chunk walk alone, the whole check with the
# platform decode, and a bare libspng decode of the same bytes.
# Linux only: it counts heap bytes by wrapping glibc's malloc and decodes with libspng.
if(APPLE)
  return()
endif()
add_executable(png_validate_bench ${CMAKE_CURRENT_LIST_DIR}/png_validate_bench.cpp)
target_link_libraries(png_validate_bench PRIVATE morvane_macos PkgConfig::MORVANE_SIM_LIBS ZLIB::ZLIB
                      benchmark::benchmark)
