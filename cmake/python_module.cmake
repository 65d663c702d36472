# The extension module, built once for each interpreter asked for: QUARN_PYTHON
# (found by scripts/find_python.sh when not given) puts its module at the top of
# the build folder; each of QUARN_EXTRA_PYTHONS gets one in pythonX.Y/.
# Only the binding sources see Python's headers, so the libraries are shared.
set(QUARN_PYTHON "" CACHE FILEPATH "CPython 3.12+ interpreter to build the module for")
set(QUARN_EXTRA_PYTHONS "" CACHE STRING "Further interpreters to build the module for")
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

function(quarn_python_module target interpreter outdir)
  execute_process(COMMAND ${interpreter} -c
    "import sys, sysconfig; print(sys.version_info >= (3, 12)); print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX')); print('%d.%d' % sys.version_info[:2])"
    OUTPUT_VARIABLE info RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${interpreter} does not run")
  endif()
  string(REPLACE "\n" ";" info "${info}")
  list(GET info 0 recent)
  list(GET info 1 include)
  list(GET info 2 suffix)
  list(GET info 3 pyversion)
  if(NOT recent STREQUAL "True")
    message(FATAL_ERROR "${interpreter} is Python ${pyversion}; quarn_py needs CPython 3.12 or later")
  endif()
  add_library(${target} MODULE ${quarn_py_sources})
  target_include_directories(${target} SYSTEM PRIVATE ${include})
  target_link_libraries(${target} PRIVATE quarn_all)
  set_target_properties(${target} PROPERTIES
    PREFIX "" OUTPUT_NAME quarn_py SUFFIX "${suffix}"
    LIBRARY_OUTPUT_DIRECTORY "${outdir}")
  # Only PyInit_quarn_py leaves the shared object; the static libraries and the
  # C++ runtime's inline symbols stay inside.
  target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/quarn_py/exports.map)
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/quarn_py/exports.map)
  message(STATUS "quarn_py module for Python ${pyversion}: ${outdir}/quarn_py${suffix}")
endfunction()

add_library(quarn_all INTERFACE)
foreach(lib quarn_core quarn_clinical quarn_compiler)
  if(TARGET ${lib})
    target_link_libraries(quarn_all INTERFACE ${lib})
  endif()
endforeach()

quarn_python_module(quarn_py_module ${QUARN_PYTHON} ${CMAKE_BINARY_DIR})
foreach(extra ${QUARN_EXTRA_PYTHONS})
  execute_process(COMMAND ${extra} -c "import sys; print('%d.%d' % sys.version_info[:2])"
    OUTPUT_VARIABLE v OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE "." "" vv "${v}")
  quarn_python_module(quarn_py_module_${vv} ${extra} ${CMAKE_BINARY_DIR}/python${v})
endforeach()
