# GoogleTest from Debian: the prebuilt libgtest-dev natively; for a cross build, its
# sources (package googletest) compiled with the target's compiler.
if(CMAKE_CROSSCOMPILING)
  set(TOLVERIN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${TOLVERIN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest 1.11 and later define the GTest:: aliases themselves.
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)
