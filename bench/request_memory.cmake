# Peak memory of helper runs that read a request, up to the limit and past it, and of the
# image operations, measured through GNU time (Linux only: macOS's time reports otherwise).
if(APPLE)
  return()
endif()
add_executable(request_memory_bench ${CMAKE_CURRENT_LIST_DIR}/request_memory_bench.cpp)
target_link_libraries(request_memory_bench PRIVATE morvane_client benchmark::benchmark ZLIB::ZLIB)
target_compile_definitions(request_memory_bench PRIVATE MORVANE_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
add_dependencies(request_memory_bench morvane_macos_helper)
