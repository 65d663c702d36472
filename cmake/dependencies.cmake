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

# BLAKE3: the system library where the distribution has one (Debian 13's
# libblake3-dev), otherwise the reference C sources that Debian 12 installs
# with librust-blake3-dev, built here with the x86-64 assembly kernels and
# run-time dispatch between them. Both carry the SIMD kernels.
find_package(BLAKE3 CONFIG QUIET)
if(NOT BLAKE3_FOUND)
  pkg_check_modules(BLAKE3_PC QUIET IMPORTED_TARGET libblake3)
endif()
if(BLAKE3_FOUND)
  add_library(quarn_blake3 INTERFACE)
  target_link_libraries(quarn_blake3 INTERFACE BLAKE3::blake3)
  message(STATUS "BLAKE3: the system library")
elseif(BLAKE3_PC_FOUND)
  add_library(quarn_blake3 INTERFACE)
  target_link_libraries(quarn_blake3 INTERFACE PkgConfig::BLAKE3_PC)
  message(STATUS "BLAKE3: the system library (pkg-config)")
else()
  file(GLOB b3_candidates /usr/share/cargo/registry/blake3-*/c/blake3.h)
  set(b3_newest "")
  if(b3_candidates)
    list(SORT b3_candidates COMPARE NATURAL ORDER DESCENDING)
    list(GET b3_candidates 0 b3_newest)
    get_filename_component(b3_newest "${b3_newest}" DIRECTORY)
  endif()
  set(QUARN_BLAKE3_DIR "${b3_newest}" CACHE PATH "BLAKE3 reference C sources")
  if(NOT EXISTS "${QUARN_BLAKE3_DIR}/blake3.h" AND b3_newest)
    # A folder remembered from an earlier configure that is gone since.
    set(QUARN_BLAKE3_DIR "${b3_newest}" CACHE PATH "BLAKE3 reference C sources" FORCE)
  endif()
  if(NOT EXISTS "${QUARN_BLAKE3_DIR}/blake3.h")
    message(FATAL_ERROR "BLAKE3 not found: install libblake3-dev or librust-blake3-dev "
                        "(`make setup` does), or set QUARN_BLAKE3_DIR to the C sources")
  endif()
  message(STATUS "BLAKE3: reference C sources in ${QUARN_BLAKE3_DIR}")
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
