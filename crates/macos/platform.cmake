# The simulated pasteboard's libraries on systems without AppKit and ImageIO. libspng and
# uriparser serve only the image and file URL operations: the stand-in opens them by soname when
# first needed (sim/shared_library_sim.h) rather than have every launch load them.
if(NOT APPLE)
  include(${CMAKE_SOURCE_DIR}/cmake/soname.cmake)
  morvane_sim_library_sonames(morvane_macos)
  target_link_libraries(morvane_macos PUBLIC ZLIB::ZLIB ${CMAKE_DL_LIBS})
endif()
