# cmake --install and CPack. Two components, both in a default install:
#   runtime  the programs a host launches, in libexec/morvane/: they are not commands for a
#            person's PATH, and a host finds them at one path relative to its own install;
#   tools    clipboard_client and the other application on the pasteboard, in bin/.
# Tests, benchmarks and fuzzers have no install rule. Needs cmake/version.cmake first.
include(GNUInstallDirs)

set(MORVANE_HELPER_INSTALL_DIR ${CMAKE_INSTALL_LIBEXECDIR}/morvane)
set(MORVANE_DOC_INSTALL_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${MORVANE_PACKAGE_NAME})

install(TARGETS ${MORVANE_RUNTIME_PROGRAMS}
        RUNTIME DESTINATION ${MORVANE_HELPER_INSTALL_DIR} COMPONENT runtime)
install(TARGETS ${MORVANE_TOOL_PROGRAMS}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

# clipboard_client finds the helper of its own installation from where it runs, wherever the
# installation was put.
file(RELATIVE_PATH MORVANE_HELPER_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_LIBEXECDIR}/morvane)
target_compile_definitions(clipboard_client PRIVATE
                           MORVANE_INSTALLED_HELPER_DIR="${MORVANE_HELPER_FROM_BIN}")

# Builds what an install needs and nothing else (no tests, no syntax checks).
add_custom_target(shipped)
add_dependencies(shipped ${MORVANE_SHIPPED_PROGRAMS})

if(APPLE)
  set(MORVANE_PACKAGE_SYSTEM macos)
  set(architectures ${CMAKE_OSX_ARCHITECTURES})
  if(NOT architectures)
    set(architectures ${CMAKE_SYSTEM_PROCESSOR})
  endif()
  list(SORT architectures)
  list(JOIN architectures "-" MORVANE_PACKAGE_ARCHITECTURES)
  set(MORVANE_OTHER_APPLICATION macos_pasteboard)
  set(MORVANE_PACKAGE_NOTE "Programs with embedded Info.plists, signed when installed; integrating.md says which permissions they need.")
  set(MORVANE_PACKAGE_PASTEBOARD_NOTE "")
else()
  set(MORVANE_PACKAGE_SYSTEM linux)
  string(TOLOWER ${CMAKE_SYSTEM_PROCESSOR} MORVANE_PACKAGE_ARCHITECTURES)
  set(MORVANE_OTHER_APPLICATION sim_pasteboard)
  set(MORVANE_PACKAGE_NOTE "This is the Linux stand-in build: the helper works on a simulated pasteboard shared through a store file, and frame_streamer captures an X11 display.
It needs Debian's libspng0, liburiparser1, libtiff6, libturbojpeg0, libxcb1, libxcb-shm0 and libxcb-damage0 (the .deb declares them).")
  set(MORVANE_PACKAGE_PASTEBOARD_NOTE "
The simulated pasteboard is a store file that each program finds from its own environment:
MORVANE_SIM_PASTEBOARD, else XDG_RUNTIME_DIR, else TMPDIR (or /tmp). A host that launches the
helper with a minimal environment must pass these three along as the user's shell has them, or
its helper works on another pasteboard, without an error. The store's folder and files must be
the user's and writable by nobody else (the folder of a store named in MORVANE_SIM_PASTEBOARD
may be root's, or sticky like /tmp); otherwise every operation answers \"System clipboard is
unavailable\". sim_pasteboard check says which rule fails; integrating.md, section 3, has them all.
")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/package-readme.txt.in
               ${MORVANE_GENERATED_DIR}/README.txt @ONLY)
install(FILES ${MORVANE_GENERATED_DIR}/README.txt ${CMAKE_SOURCE_DIR}/docs/integrating.md
        DESTINATION ${MORVANE_DOC_INSTALL_DIR} COMPONENT runtime)

if(APPLE)
  # Signed once installed, after any --strip, so that the signature covers the final bytes.
  set(MORVANE_CODESIGN_IDENTITY - CACHE STRING
      "Identity that signs the installed programs: - signs ad hoc, empty does not sign")
  foreach(program IN LISTS MORVANE_SHIPPED_PROGRAMS)
    if(program IN_LIST MORVANE_RUNTIME_PROGRAMS)
      set(dir ${MORVANE_HELPER_INSTALL_DIR})
      set(component runtime)
    else()
      set(dir ${CMAKE_INSTALL_BINDIR})
      set(component tools)
    endif()
    get_target_property(identifier ${program} MORVANE_BUNDLE_IDENTIFIER)
    install(CODE "include(\"${CMAKE_CURRENT_LIST_DIR}/codesign.cmake\")
morvane_codesign(\"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}/${program}\" ${identifier} \"${MORVANE_CODESIGN_IDENTITY}\")"
            COMPONENT ${component})
  endforeach()
endif()

set(CPACK_PACKAGE_NAME ${MORVANE_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR morvane)
set(CPACK_PACKAGE_CONTACT "morvane developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Clipboard helper and screen streamer that the morvane automation tool launches")
set(CPACK_PACKAGE_FILE_NAME
    ${MORVANE_PACKAGE_NAME}-${PROJECT_VERSION}-${MORVANE_PACKAGE_SYSTEM}-${MORVANE_PACKAGE_ARCHITECTURES})
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_COMPONENTS_ALL runtime tools)
set(CPACK_GENERATOR TGZ)
if(NOT APPLE)
  # Symbol tables are a fifth of the programs. Not on macOS: the helper's exported routine must
  # stay, and the signature must cover the final bytes.
  set(CPACK_STRIP_FILES ON)
  # A .deb too where Debian's tools can work out its library dependencies.
  find_program(MORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(MORVANE_DPKG_SHLIBDEPS)
    list(APPEND CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # The stand-in opens its PNG codec, URL parser and TIFF and JPEG decoders only when an
    # operation needs them, so the programs' own dependency lists do not name them.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libspng0, liburiparser1, libtiff6, libturbojpeg0")
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  endif()
endif()
include(CPack)
