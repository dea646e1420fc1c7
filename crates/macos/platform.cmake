# The simulated pasteboard's libraries on systems without AppKit and ImageIO.
if(NOT APPLE)
  pkg_check_modules(MORVANE_SIM_LIBS REQUIRED IMPORTED_TARGET spng liburiparser)
  target_link_libraries(morvane_macos PUBLIC PkgConfig::MORVANE_SIM_LIBS ZLIB::ZLIB)
endif()
