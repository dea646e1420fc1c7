# "read:image" of a pasteboard that holds only a TIFF or only a JPEG, converted to PNG by the
# helper, against a floor of the same library calls in one process; peak memory through GNU
# time. Linux only: the stand-in's libraries and GNU time.
if(APPLE)
  return()
endif()
add_executable(image_convert_bench ${CMAKE_CURRENT_LIST_DIR}/image_convert_bench.cpp)
target_link_libraries(image_convert_bench PRIVATE morvane_client PkgConfig::MORVANE_SIM_LIBS)
target_compile_definitions(image_convert_bench PRIVATE MORVANE_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
add_dependencies(image_convert_bench morvane_macos_helper sim_pasteboard)
