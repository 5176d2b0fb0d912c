# nanoarrow, the C library that builds Arrow arrays and streams, compiled into
# the module as a static library (the Arrow export of selections).
#
# Like CRoaring (cmake/CRoaring.cmake, which this file follows and whose
# download cache it shares), nanoarrow comes from a pinned source
# distribution on PyPI: that of its Python package, which carries the C
# library's sources unchanged under subprojects/arrow-nanoarrow. The archive
# is downloaded once from its pinned address, checked against the sha256
# below, and the few C files of the library's core are extracted into the
# build folder. Nothing of nanoarrow is committed.
#
# Offline builds: set VORLANE_NANOARROW_DIR to the src/ folder of
# arrow-nanoarrow (it holds nanoarrow/nanoarrow.h); then nothing is downloaded.
#
# The library's symbols are hidden and carry a namespace of their own, so two
# extension modules bundling different releases can be loaded side by side.
# The rest of the build links the target `nanoarrow::nanoarrow`.

include("${CMAKE_CURRENT_LIST_DIR}/PinnedSource.cmake")

set(VORLANE_NANOARROW_SDIST nanoarrow)
set(VORLANE_NANOARROW_VERSION 0.9.0)
set(VORLANE_NANOARROW_SDIST_URL
    "https://files.pythonhosted.org/packages/bc/b2/8fedfa966cc25126e1c9090e6d9fed75dab4e1d2716e3ca2d18ea2d6f438/nanoarrow-0.9.0.tar.gz")
set(VORLANE_NANOARROW_SDIST_SHA256 1ce15bbed8532839347faa78824c5dbd3769bff60661003e34c6fba5dd881bd3)

set(VORLANE_NANOARROW_DIR "" CACHE PATH
    "arrow-nanoarrow's src/ folder; empty to fetch the pinned archive")

# The library's core: the headers and the four C files of nanoarrow/common.
set(_vorlane_nanoarrow_headers
    nanoarrow/nanoarrow.h nanoarrow/nanoarrow_config.h.in
    nanoarrow/common/inline_types.h nanoarrow/common/inline_array.h nanoarrow/common/inline_buffer.h)
set(_vorlane_nanoarrow_sources
    nanoarrow/common/array.c nanoarrow/common/array_stream.c
    nanoarrow/common/schema.c nanoarrow/common/utils.c)

if(VORLANE_NANOARROW_DIR)
  set(_vorlane_nanoarrow_source "${VORLANE_NANOARROW_DIR}")
else()
  vorlane_pinned_sdist(_vorlane_nanoarrow_archive
    NAME "${VORLANE_NANOARROW_SDIST}" VERSION "${VORLANE_NANOARROW_VERSION}"
    URL "${VORLANE_NANOARROW_SDIST_URL}" SHA256 "${VORLANE_NANOARROW_SDIST_SHA256}"
    HELP "Set VORLANE_NANOARROW_DIR to arrow-nanoarrow's src/ folder to build offline")
  set(_vorlane_nanoarrow_member
      "${VORLANE_NANOARROW_SDIST}-${VORLANE_NANOARROW_VERSION}/subprojects/arrow-nanoarrow/src")
  set(_vorlane_nanoarrow_extracted "${CMAKE_BINARY_DIR}/nanoarrow-extracted")
  vorlane_extract_sources("${_vorlane_nanoarrow_archive}" "${_vorlane_nanoarrow_extracted}"
                          "${_vorlane_nanoarrow_member}"
                          ${_vorlane_nanoarrow_headers} ${_vorlane_nanoarrow_sources})
  set(_vorlane_nanoarrow_source "${_vorlane_nanoarrow_extracted}/${_vorlane_nanoarrow_member}")
endif()

# Copied into <build>/nanoarrow/, so that sources include
# "nanoarrow/nanoarrow.h".
set(_vorlane_nanoarrow_include "${CMAKE_BINARY_DIR}/nanoarrow")
vorlane_copy_sources("${_vorlane_nanoarrow_source}" "${_vorlane_nanoarrow_include}"
                     ${_vorlane_nanoarrow_headers} ${_vorlane_nanoarrow_sources})

# The configuration header, as the library's own build writes it.
string(REPLACE "." ";" _vorlane_nanoarrow_parts "${VORLANE_NANOARROW_VERSION}")
list(GET _vorlane_nanoarrow_parts 0 NANOARROW_VERSION_MAJOR)
list(GET _vorlane_nanoarrow_parts 1 NANOARROW_VERSION_MINOR)
list(GET _vorlane_nanoarrow_parts 2 NANOARROW_VERSION_PATCH)
set(NANOARROW_VERSION "${VORLANE_NANOARROW_VERSION}")
set(NANOARROW_NAMESPACE_DEFINE "#define NANOARROW_NAMESPACE VorlaneArrow")
configure_file("${_vorlane_nanoarrow_include}/nanoarrow/nanoarrow_config.h.in"
               "${_vorlane_nanoarrow_include}/nanoarrow/nanoarrow_config.h" @ONLY)
message(STATUS "nanoarrow ${VORLANE_NANOARROW_VERSION}: ${_vorlane_nanoarrow_include}")

list(TRANSFORM _vorlane_nanoarrow_sources PREPEND "${_vorlane_nanoarrow_include}/")
vorlane_vendored_c_library(vorlane_nanoarrow ALIAS nanoarrow::nanoarrow C_STANDARD 99
                           INCLUDE "${_vorlane_nanoarrow_include}"
                           SOURCES ${_vorlane_nanoarrow_sources})
