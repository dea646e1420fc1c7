# On macOS: what the clipboard helper is built for and linked with. Elsewhere: a compile-only
# check of the plain C++ Apple sources against system/apple_declarations.h, so that wrong
# types, casts and names in them show up without a Mac.
if(APPLE)
  # The programs ship for arm64; the helper runs from macOS 11 (the streamer raises its own
  # minimum). Explicit -D values win.
  if(NOT CMAKE_OSX_ARCHITECTURES)
    set(CMAKE_OSX_ARCHITECTURES arm64 CACHE STRING "Architectures of the macOS build" FORCE)
  endif()
  if(NOT CMAKE_OSX_DEPLOYMENT_TARGET)
    set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0 CACHE STRING "Oldest macOS the helper runs on" FORCE)
  endif()
  # Targets made before this point took their architectures from the old, empty value.
  set_target_properties(morvane_core morvane_macos PROPERTIES
                        OSX_ARCHITECTURES "${CMAKE_OSX_ARCHITECTURES}")

  # libobjc for objc_getClass/objc_msgSend. The pasteboard classes are reached by name only,
  # so AppKit must be linked for them to be loaded at all.
  target_link_libraries(morvane_macos PUBLIC objc "-framework AppKit" "-framework Foundation"
                        "-framework CoreFoundation" "-framework ImageIO")
  # The exported runtime routine must reach the executable from the static library whatever
  # else refers to it.
  target_link_options(morvane_macos INTERFACE "LINKER:-u,_morvane_ensure_cocoa_multithreaded")
else()
  # The core's headers, which the Apple sources reach too.
  get_target_property(MORVANE_CORE_FILES morvane_core SOURCES)
  list(TRANSFORM MORVANE_CORE_FILES PREPEND ${CMAKE_SOURCE_DIR}/crates/core/)
  include(${CMAKE_SOURCE_DIR}/cmake/apple_syntax_check.cmake)
  morvane_apple_syntax_check(apple_syntax_check
    SOURCES ${MORVANE_MACOS_APPLE_SOURCES}
    HEADERS ${MORVANE_MACOS_PORTABLE_SOURCES} ${MORVANE_MACOS_APPLE_SOURCES} ${MORVANE_CORE_FILES}
    INCLUDES ${CMAKE_CURRENT_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/crates/core/src
    # The test-only code is checked too.
    FLAGS -DMORVANE_TEST_HOOKS)
endif()
