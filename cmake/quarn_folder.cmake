# quarn_library(NAME DIRS dir... [DEPS target...]): a static library of the
# folders' *.cpp files (not recursive; *_test.cpp left out) and, when they hold
# *_test.cpp files, one GoogleTest binary NAME_tests run by CTest. Files are
# globbed so that adding a source file needs no edit here.
function(quarn_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;DEPS" ${ARGN})
  set(sources "")
  set(tests "")
  foreach(dir ${ARG_DIRS})
    file(GLOB s CONFIGURE_DEPENDS ${dir}/*.cpp)
    file(GLOB t CONFIGURE_DEPENDS ${dir}/*_test.cpp)
    list(APPEND sources ${s})
    list(APPEND tests ${t})
  endforeach()
  if(tests)
    list(REMOVE_ITEM sources ${tests})
  endif()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
  if(QUARN_TESTS AND tests)
    add_executable(${name}_tests ${tests})
    target_link_libraries(${name}_tests PRIVATE ${name} GTest::gtest GTest::gtest_main)
    # Run from the build folder: tests find the source tree through __FILE__,
    # which a compiler cache may have made relative to the folder the
    # compiler ran in (the build folder).
    add_test(NAME ${name} COMMAND ${name}_tests --gtest_brief=1
             WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
    set_tests_properties(${name} PROPERTIES TIMEOUT 900)
  endif()
endfunction()
