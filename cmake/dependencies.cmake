# Everything here is installed by `make setup` (scripts/setup.sh); nothing is
# copied into the repository.
find_package(PkgConfig REQUIRED)
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc)
find_package(nlohmann_json 3.10 REQUIRED)
if(QUARN_TESTS)
  find_package(GTest REQUIRED)
endif()
if(QUARN_BENCH)
  find_package(benchmark QUIET)
endif()

# BLAKE3: a system library where one exists, otherwise the reference C sources
# unpacked by scripts/setup.sh, with the x86-64 assembly kernels and run-time
# dispatch between them.
pkg_check_modules(BLAKE3 QUIET IMPORTED_TARGET libblake3)
if(BLAKE3_FOUND)
  add_library(quarn_blake3 INTERFACE)
  target_link_libraries(quarn_blake3 INTERFACE PkgConfig::BLAKE3)
else()
  set(QUARN_BLAKE3_DIR "${PROJECT_SOURCE_DIR}/.deps/blake3/c" CACHE PATH "BLAKE3 reference C sources")
  if(NOT EXISTS "${QUARN_BLAKE3_DIR}/blake3.h")
    message(FATAL_ERROR "BLAKE3 sources not found in ${QUARN_BLAKE3_DIR}: run `make setup` first")
  endif()
  set(b3 ${QUARN_BLAKE3_DIR})
  add_library(quarn_blake3 STATIC
    ${b3}/blake3.c ${b3}/blake3_dispatch.c ${b3}/blake3_portable.c)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    target_sources(quarn_blake3 PRIVATE
      ${b3}/blake3_sse2_x86-64_unix.S ${b3}/blake3_sse41_x86-64_unix.S
      ${b3}/blake3_avx2_x86-64_unix.S ${b3}/blake3_avx512_x86-64_unix.S)
  else()
    target_compile_definitions(quarn_blake3 PRIVATE
      BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
  endif()
  # The third-party sources are not ours to warn about, nor to instrument.
  target_compile_options(quarn_blake3 PRIVATE -w -fno-sanitize=all)
  target_include_directories(quarn_blake3 SYSTEM PUBLIC ${b3})
endif()
