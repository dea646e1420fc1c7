# frame_streamer's per-frame cost on the X11 stand-in: capture, scale, encode and write, each
# and in total, against a bare TurboJPEG encode; and the whole program's CPU share at 30 fps.
if(TARGET streamer_x11)
  add_executable(streamer_bench ${CMAKE_CURRENT_LIST_DIR}/streamer_bench.cpp
                 ${CMAKE_SOURCE_DIR}/streamer/tests/x11_test_support.cpp)
  target_include_directories(streamer_bench PRIVATE ${CMAKE_SOURCE_DIR}/streamer/tests)
  target_link_libraries(streamer_bench PRIVATE streamer_x11 PkgConfig::STREAMER_X11_TEST
                        benchmark::benchmark)
  target_compile_definitions(streamer_bench PRIVATE STREAMER_BIN="$<TARGET_FILE:frame_streamer>")
  add_dependencies(streamer_bench frame_streamer)
endif()
