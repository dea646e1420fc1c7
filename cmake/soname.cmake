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
# headers of those libraries; nothing is linked. TIFF and TurboJPEG serve the image types
# converted to PNG when the pasteboard offers no PNG.
function(morvane_sim_library_sonames target)
  foreach(pair SPNG:spng URIPARSER:liburiparser TIFF:libtiff-4 TURBOJPEG:libturbojpeg)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 name)
    list(GET pair 1 module)
    pkg_check_modules(MORVANE_${name} REQUIRED ${module})
    list(GET MORVANE_${name}_LINK_LIBRARIES 0 library)
    morvane_soname(soname ${library})
    target_compile_definitions(${target} PRIVATE MORVANE_${name}_SONAME="${soname}")
    target_include_directories(${target} PRIVATE ${MORVANE_${name}_INCLUDE_DIRS})
    target_compile_options(${target} PRIVATE ${MORVANE_${name}_CFLAGS_OTHER})
  endforeach()
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
endfunction()
