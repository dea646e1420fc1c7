# GoogleTest for the tests. Debian's prebuilt libraries are compiled against libstdc++, whose
# std::string is not libc++'s, so a libc++ build compiles GoogleTest from the sources Debian
# ships beside them (package googletest) instead. Either way the targets are GTest::gtest,
# GTest::gtest_main and GTest::gmock.
if(MORVANE_LIBCXX AND NOT APPLE)
  set(MORVANE_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources")
  if(NOT EXISTS ${MORVANE_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest's sources are not at ${MORVANE_GOOGLETEST_SOURCE_DIR}")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${MORVANE_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Recent GoogleTest sources name their targets GTest::… themselves.
  foreach(name gtest gtest_main gmock)
    if(NOT TARGET GTest::${name})
      add_library(GTest::${name} ALIAS ${name})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()
