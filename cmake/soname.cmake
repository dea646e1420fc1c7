# morvane_soname(OUT LIBRARY): the soname of a shared library file, as the dynamic loader would
# look for it, read from the library itself. For libraries the stand-in opens only when needed.
function(morvane_soname out library)
  execute_process(COMMAND ${CMAKE_OBJDUMP} -p ${library} OUTPUT_VARIABLE dump ERROR_QUIET)
  if(NOT dump MATCHES "SONAME[ \t]+([^ \t\r\n]+)")
    message(FATAL_ERROR "No soname found in ${library}")
  endif()
  set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

# morvane_sim_library_sonames(TARGET): compile definitions MORVANE_SPNG_SONAME,
# MORVANE_URIPARSER_SONAME, MORVANE_TIFF_SONAME and MORVANE_TURBOJPEG_SONAME for TARGET, with the
# headers of those libraries; nothing is linked.
function(morvane_sim_library_sonames target)
  pkg_check_modules(MORVANE_SPNG REQUIRED spng)
  pkg_check_modules(MORVANE_URIPARSER REQUIRED liburiparser)
  list(GET MORVANE_SPNG_LINK_LIBRARIES 0 spng_library)
  list(GET MORVANE_URIPARSER_LINK_LIBRARIES 0 uriparser_library)
  morvane_soname(spng_soname ${spng_library})
  morvane_soname(uriparser_soname ${uriparser_library})
  target_compile_definitions(${target} PRIVATE MORVANE_SPNG_SONAME="${spng_soname}"
                             MORVANE_URIPARSER_SONAME="${uriparser_soname}")
  # The image types converted to PNG when the pasteboard offers no PNG.
  pkg_check_modules(MORVANE_TIFF REQUIRED libtiff-4)
  pkg_check_modules(MORVANE_TURBOJPEG REQUIRED libturbojpeg)
  list(GET MORVANE_TIFF_LINK_LIBRARIES 0 tiff_library)
  list(GET MORVANE_TURBOJPEG_LINK_LIBRARIES 0 turbojpeg_library)
  morvane_soname(tiff_soname ${tiff_library})
  morvane_soname(turbojpeg_soname ${turbojpeg_library})
  target_compile_definitions(${target} PRIVATE MORVANE_TIFF_SONAME="${tiff_soname}"
                             MORVANE_TURBOJPEG_SONAME="${turbojpeg_soname}")
  target_include_directories(${target} PRIVATE ${MORVANE_TIFF_INCLUDE_DIRS}
                             ${MORVANE_TURBOJPEG_INCLUDE_DIRS})
  target_include_directories(${target} PRIVATE ${MORVANE_SPNG_INCLUDE_DIRS}
                             ${MORVANE_URIPARSER_INCLUDE_DIRS})
  target_compile_options(${target} PRIVATE ${MORVANE_SPNG_CFLAGS_OTHER}
                         ${MORVANE_URIPARSER_CFLAGS_OTHER})
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
endfunction()
