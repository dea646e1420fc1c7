# Linux only: peak memory comes from GNU time's report, which macOS's time does not give.
if(APPLE)
  return()
endif()
add_executable(image_roundtrip_bench ${CMAKE_CURRENT_LIST_DIR}/image_roundtrip_bench.cpp)
target_link_libraries(image_roundtrip_bench PRIVATE morvane_client ZLIB::ZLIB)
target_compile_definitions(image_roundtrip_bench PRIVATE MORVANE_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
add_dependencies(image_roundtrip_bench morvane_macos_helper)
