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
  file(GLOB_RECURSE MORVANE_APPLE_CPP_SOURCES CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/src/*_apple.cpp)
  file(GLOB_RECURSE MORVANE_APPLE_CHECK_HEADERS CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/src/*.h ${CMAKE_SOURCE_DIR}/crates/core/src/*.h)
  # The standard flag comes from CMake: compilers spell C++23 differently (clang 16: -std=c++2b).
  # MORVANE_TEST_HOOKS is set so that the test-only code is checked too.
  set(MORVANE_APPLE_CHECK_COMMAND
      ${CMAKE_CXX_COMPILER} -fsyntax-only ${CMAKE_CXX23_STANDARD_COMPILE_OPTION} -Wall -Wextra -Wno-missing-field-initializers
      -Werror -DMORVANE_TEST_HOOKS -I${CMAKE_CURRENT_SOURCE_DIR}/src -I${CMAKE_SOURCE_DIR}/crates/core/src)

  set(MORVANE_APPLE_CHECK_STAMPS)
  # Ninja creates an output's folder itself; Make does not.
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/apple_syntax_check)
  foreach(source ${MORVANE_APPLE_CPP_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    set(stamp ${CMAKE_CURRENT_BINARY_DIR}/apple_syntax_check/${name}.checked)
    add_custom_command(
      OUTPUT ${stamp}
      COMMAND ${MORVANE_APPLE_CHECK_COMMAND} ${source}
      COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
      DEPENDS ${source} ${MORVANE_APPLE_CHECK_HEADERS}
      COMMENT "Compiling ${name}.cpp against the Apple declarations (syntax only)"
      VERBATIM)
    list(APPEND MORVANE_APPLE_CHECK_STAMPS ${stamp})
    if(MORVANE_BUILD_TESTS)
      add_test(NAME AppleSourcesCompile.${name} COMMAND ${MORVANE_APPLE_CHECK_COMMAND} ${source})
    endif()
  endforeach()
  add_custom_target(apple_syntax_check ALL DEPENDS ${MORVANE_APPLE_CHECK_STAMPS})
endif()
