# morvane_apple_syntax_check(TARGET SOURCES <files> HEADERS <files> INCLUDES <dirs> [FLAGS <flags>])
# Off macOS: compiles each plain C++ (.cpp) file of SOURCES with -fsyntax-only against the
# project's own Apple declarations, as part of the build (target TARGET) and as a test
# (AppleSourcesCompile.<name>), so wrong types, casts and names show up without a Mac.
function(morvane_apple_syntax_check target)
  cmake_parse_arguments(PARSE_ARGV 1 CHECK "" "" "SOURCES;HEADERS;INCLUDES;FLAGS")
  # Source lists name headers and Objective-C++ too: only .cpp files are compiled here, and every
  # .h given is a dependency. Relative paths are from the calling folder.
  list(FILTER CHECK_SOURCES INCLUDE REGEX "\\.cpp$")
  list(FILTER CHECK_HEADERS INCLUDE REGEX "\\.h$")
  foreach(list_name CHECK_SOURCES CHECK_HEADERS)
    set(absolute)
    foreach(file IN LISTS ${list_name})
      get_filename_component(file ${file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      list(APPEND absolute ${file})
    endforeach()
    set(${list_name} ${absolute})
  endforeach()
  # The standard flag comes from CMake: compilers spell C++23 differently (clang 16: -std=c++2b).
  set(command ${CMAKE_CXX_COMPILER} -fsyntax-only ${CMAKE_CXX23_STANDARD_COMPILE_OPTION}
      -Wall -Wextra -Wno-missing-field-initializers -Werror)
  if(MORVANE_LIBCXX)
    list(APPEND command -stdlib=libc++)
  endif()
  list(APPEND command ${CHECK_FLAGS})
  foreach(dir IN LISTS CHECK_INCLUDES)
    list(APPEND command -I${dir})
  endforeach()
  # Ninja creates an output's folder itself; Make does not.
  set(stamp_dir ${CMAKE_CURRENT_BINARY_DIR}/apple_syntax_check)
  file(MAKE_DIRECTORY ${stamp_dir})
  set(stamps)
  foreach(source IN LISTS CHECK_SOURCES)
    get_filename_component(name ${source} NAME_WE)
    set(stamp ${stamp_dir}/${name}.checked)
    add_custom_command(
      OUTPUT ${stamp}
      COMMAND ${command} ${source}
      COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
      DEPENDS ${source} ${CHECK_HEADERS}
      COMMENT "Compiling ${name}.cpp against the Apple declarations (syntax only)"
      VERBATIM)
    list(APPEND stamps ${stamp})
    if(MORVANE_BUILD_TESTS)
      add_test(NAME AppleSourcesCompile.${name} COMMAND ${command} ${source})
    endif()
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${stamps})
endfunction()
