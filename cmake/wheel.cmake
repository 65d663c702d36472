# What a wheel carries. A pip build (scikit-build-core sets SKBUILD) installs
# the module and the stub package at the top of site-packages, and quarnc as a
# script, so that pip puts it in the environment's bin/.
if(SKBUILD)
  install(TARGETS quarn_py_module LIBRARY DESTINATION .)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/quarn_py-stubs DESTINATION .)
  install(TARGETS quarnc RUNTIME DESTINATION ${SKBUILD_SCRIPTS_DIR})
endif()

# ICU's data library, emptied, for the repaired wheel (scripts/wheel.sh). The
# module uses case mapping and character properties only, and ICU compiles
# those tables into its common library; the ~30 MB data archive holds locales,
# collation and the like, which no call of the module opens. auditwheel grafts
# this library in place of the system's, so the wheel stays a few megabytes.
string(REGEX MATCH "^[0-9]+" icu_major "${ICU_VERSION}")
add_library(quarn_icudata_stub SHARED EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/packaging/icudata_stub.c)
target_include_directories(quarn_icudata_stub PRIVATE ${ICU_INCLUDE_DIRS})
set_target_properties(quarn_icudata_stub PROPERTIES
  OUTPUT_NAME icudata SOVERSION ${icu_major} NO_SONAME OFF
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/icudata-stub)
