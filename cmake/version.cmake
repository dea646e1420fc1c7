# The release and the source revision in every shipped program. The tools and the streamer print
# them for --version; every program, the helper included, carries them as a what(1)/strings(1)
# line; on macOS each also embeds an Info.plist, which gives code signing and the system's
# privacy settings a stable identity to attach to.

set(MORVANE_PACKAGE_NAME morvane-helpers)
# What a host ships, by install component (cmake/install.cmake): the runtime the host launches,
# and the tools for people and tests.
set(MORVANE_RUNTIME_PROGRAMS morvane_macos_helper frame_streamer)
if(APPLE)
  set(MORVANE_TOOL_PROGRAMS clipboard_client macos_pasteboard)
else()
  set(MORVANE_TOOL_PROGRAMS clipboard_client sim_pasteboard)
endif()
set(MORVANE_SHIPPED_PROGRAMS ${MORVANE_RUNTIME_PROGRAMS} ${MORVANE_TOOL_PROGRAMS})

# The commit the tree was configured from, with "-dirty" when tracked files differed from it.
# Configuring again whenever HEAD or its branch moves keeps the stamp in step with commits.
set(MORVANE_REVISION_OVERRIDE "" CACHE STRING
    "Source revision to stamp instead of asking git (for builds from a tree without .git)")
function(morvane_source_revision out)
  if(MORVANE_REVISION_OVERRIDE)
    set(${out} ${MORVANE_REVISION_OVERRIDE} PARENT_SCOPE)
    return()
  endif()
  set(${out} unknown PARENT_SCOPE)
  find_package(Git QUIET)
  if(NOT GIT_FOUND)
    return()
  endif()
  macro(morvane_git result)
    execute_process(COMMAND ${GIT_EXECUTABLE} ${ARGN} WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE ${result} RESULT_VARIABLE git_status
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endmacro()
  morvane_git(commit rev-parse --short=12 HEAD)
  if(NOT git_status EQUAL 0)
    return()
  endif()
  morvane_git(changes status --porcelain --untracked-files=no)
  if(git_status EQUAL 0 AND NOT changes STREQUAL "")
    string(APPEND commit -dirty)
  endif()
  morvane_git(branch symbolic-ref -q HEAD)
  set(branch_path)
  if(branch)
    set(branch_path --git-path ${branch})
  endif()
  morvane_git(watched rev-parse --path-format=absolute --git-path HEAD --git-path packed-refs
              ${branch_path})
  string(REPLACE "\n" ";" watched "${watched}")
  foreach(file IN LISTS watched)
    if(EXISTS "${file}" AND NOT IS_DIRECTORY "${file}")
      set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    endif()
  endforeach()
  set(${out} ${commit} PARENT_SCOPE)
endfunction()
morvane_source_revision(MORVANE_REVISION)

set(MORVANE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.h.in ${MORVANE_GENERATED_DIR}/build_info.h
               @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.cpp.in ${MORVANE_GENERATED_DIR}/build_info.cpp
               @ONLY)
# An object library, so that its one object is linked into each program whole, stamp included.
add_library(morvane_build_info OBJECT ${MORVANE_GENERATED_DIR}/build_info.cpp)
target_include_directories(morvane_build_info PUBLIC ${MORVANE_GENERATED_DIR})
foreach(program IN LISTS MORVANE_SHIPPED_PROGRAMS)
  target_link_libraries(${program} PRIVATE morvane_build_info)
endforeach()

if(APPLE)
  set(MORVANE_BUNDLE_ID_PREFIX com.morvane CACHE STRING
      "Reverse-DNS prefix of the programs' bundle identifiers")
  # morvane_embed_info_plist(TARGET IDENTIFIER MINIMUM_SYSTEM [EXTRA_KEYS]): links an Info.plist
  # into the executable's __TEXT,__info_plist section, where codesign and the system look for
  # the identity of a program that is not in a bundle.
  function(morvane_embed_info_plist target identifier minimum_system)
    set(MORVANE_PLIST_IDENTIFIER ${MORVANE_BUNDLE_ID_PREFIX}.${identifier})
    set(MORVANE_PLIST_NAME ${target})
    set(MORVANE_PLIST_MINIMUM_SYSTEM ${minimum_system})
    string(JOIN "" MORVANE_PLIST_EXTRA ${ARGN})
    set(plist ${MORVANE_GENERATED_DIR}/${target}.Info.plist)
    configure_file(${MORVANE_CMAKE_DIR}/Info.plist.in ${plist} @ONLY)
    target_link_options(${target} PRIVATE "LINKER:-sectcreate,__TEXT,__info_plist,${plist}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${plist})
    set_property(TARGET ${target} PROPERTY MORVANE_BUNDLE_IDENTIFIER ${MORVANE_PLIST_IDENTIFIER})
  endfunction()
  set(MORVANE_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

  morvane_embed_info_plist(morvane_macos_helper macos-helper ${CMAKE_OSX_DEPLOYMENT_TARGET})
  # The text the system may show when it asks a person to allow screen recording.
  morvane_embed_info_plist(frame_streamer frame-streamer 13.0
    "\t<key>NSScreenCaptureUsageDescription</key>\n"
    "\t<string>morvane streams the screen to the automation tool that started it.</string>\n")
  morvane_embed_info_plist(clipboard_client clipboard-client ${CMAKE_OSX_DEPLOYMENT_TARGET})
  morvane_embed_info_plist(macos_pasteboard macos-pasteboard ${CMAKE_OSX_DEPLOYMENT_TARGET})
endif()
