# The extension module. A pip build (scikit-build-core sets SKBUILD) builds it
# for the interpreter that runs pip and installs it with the stubs and quarnc.
# A plain CMake build builds it for QUARN_PYTHON (found by
# scripts/find_python.sh when not given), at the top of the build folder.
# Only the binding sources see Python's headers, so the libraries are shared.
if(SKBUILD)
  set(QUARN_PYTHON "${Python_EXECUTABLE}")
endif()
set(QUARN_PYTHON "" CACHE FILEPATH "CPython 3.12+ interpreter to build the module for")
if(NOT QUARN_PYTHON)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/find_python.sh
    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "No CPython 3.12 or later found; configure with -DQUARN_PYTHON=/path/to/python3.12")
  endif()
  set(QUARN_PYTHON "${found}" CACHE FILEPATH "" FORCE)
endif()

file(GLOB quarn_py_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/quarn_py/*.cpp)
file(GLOB quarn_py_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/quarn_py/*_test.cpp)
if(quarn_py_tests)
  list(REMOVE_ITEM quarn_py_sources ${quarn_py_tests})
endif()

execute_process(COMMAND ${QUARN_PYTHON} -c
  "import sys, sysconfig; print(sys.version_info >= (3, 12)); print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX')); print('%d.%d' % sys.version_info[:2])"
  OUTPUT_VARIABLE info RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${QUARN_PYTHON} does not run")
endif()
string(REPLACE "\n" ";" info "${info}")
list(GET info 0 recent)
list(GET info 1 include)
list(GET info 2 suffix)
list(GET info 3 pyversion)
if(NOT recent STREQUAL "True")
  message(FATAL_ERROR "${QUARN_PYTHON} is Python ${pyversion}; quarn_py needs CPython 3.12 or later")
endif()

add_library(quarn_all INTERFACE)
target_link_libraries(quarn_all INTERFACE quarn_core quarn_clinical quarn_compiler)

add_library(quarn_py_module MODULE ${quarn_py_sources})
target_include_directories(quarn_py_module SYSTEM PRIVATE ${include})
target_link_libraries(quarn_py_module PRIVATE quarn_all)
target_compile_definitions(quarn_py_module PRIVATE QUARN_VERSION="${PROJECT_VERSION}")
set_target_properties(quarn_py_module PROPERTIES
  PREFIX "" OUTPUT_NAME quarn_py SUFFIX "${suffix}"
  LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}")
# Only PyInit_quarn_py leaves the shared object; the static libraries and the
# C++ runtime's inline symbols stay inside.
target_link_options(quarn_py_module PRIVATE -Wl,--exclude-libs,ALL
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/quarn_py/exports.map)
set_target_properties(quarn_py_module PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/quarn_py/exports.map)
message(STATUS "quarn_py module for Python ${pyversion}: ${CMAKE_BINARY_DIR}/quarn_py${suffix}")
