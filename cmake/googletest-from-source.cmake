# GoogleTest for a cross build: Debian packages no MinGW build of it, so it is built from the
# sources the googletest package installs, with the names find_package(GTest) gives.
set(KORVEL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
if(NOT EXISTS ${KORVEL_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "no GoogleTest sources in ${KORVEL_GOOGLETEST_SOURCE}: install googletest")
endif()
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)  # MinGW's GoogleTest uses Windows' own threads
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KORVEL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(library gtest gtest_main gmock gmock_main)
  # Its own code, not ours: its warnings are not this project's errors.
  target_compile_options(${library} PRIVATE -w)
  if(NOT TARGET GTest::${library})  # newer GoogleTests make these names themselves
    add_library(GTest::${library} ALIAS ${library})
  endif()
endforeach()
