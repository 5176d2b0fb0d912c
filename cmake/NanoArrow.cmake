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

set(VORLANE_NANOARROW_SDIST nanoarrow)
set(VORLANE_NANOARROW_VERSION 0.9.0)
set(VORLANE_NANOARROW_SDIST_URL
    "https://files.pythonhosted.org/packages/bc/b2/8fedfa966cc25126e1c9090e6d9fed75dab4e1d2716e3ca2d18ea2d6f438/nanoarrow-0.9.0.tar.gz")
set(VORLANE_NANOARROW_SDIST_SHA256 1ce15bbed8532839347faa78824c5dbd3769bff60661003e34c6fba5dd881bd3)

set(VORLANE_NANOARROW_DIR "" CACHE PATH
    "arrow-nanoarrow's src/ folder; empty to fetch the pinned archive")

# Sets `out` to the path of the checked archive, fetched once into the shared
# cache by the same pinned download as CRoaring's (cmake/PinnedSource.cmake).
function(vorlane_fetch_nanoarrow_archive out)
  vorlane_pinned_sdist(archive
    NAME "${VORLANE_NANOARROW_SDIST}" VERSION "${VORLANE_NANOARROW_VERSION}"
    URL "${VORLANE_NANOARROW_SDIST_URL}" SHA256 "${VORLANE_NANOARROW_SDIST_SHA256}"
    HELP "Set VORLANE_NANOARROW_DIR to arrow-nanoarrow's src/ folder to build offline")
  set(${out} "${archive}" PARENT_SCOPE)
endfunction()

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
  vorlane_fetch_nanoarrow_archive(_vorlane_nanoarrow_archive)
  set(_vorlane_nanoarrow_member
      "${VORLANE_NANOARROW_SDIST}-${VORLANE_NANOARROW_VERSION}/subprojects/arrow-nanoarrow/src")
  set(_vorlane_nanoarrow_extracted "${CMAKE_BINARY_DIR}/nanoarrow-extracted")
  set(_vorlane_nanoarrow_patterns "")
  foreach(file ${_vorlane_nanoarrow_headers} ${_vorlane_nanoarrow_sources})
    list(APPEND _vorlane_nanoarrow_patterns "${_vorlane_nanoarrow_member}/${file}")
  endforeach()
  file(REMOVE_RECURSE "${_vorlane_nanoarrow_extracted}")
  file(ARCHIVE_EXTRACT INPUT "${_vorlane_nanoarrow_archive}"
       DESTINATION "${_vorlane_nanoarrow_extracted}" PATTERNS ${_vorlane_nanoarrow_patterns})
  set(_vorlane_nanoarrow_source "${_vorlane_nanoarrow_extracted}/${_vorlane_nanoarrow_member}")
endif()

# Copied into <build>/nanoarrow/, so that sources include
# "nanoarrow/nanoarrow.h"; a copy is rewritten only when its content changes.
set(_vorlane_nanoarrow_include "${CMAKE_BINARY_DIR}/nanoarrow")
set(_vorlane_nanoarrow_files "")
foreach(file ${_vorlane_nanoarrow_headers} ${_vorlane_nanoarrow_sources})
  if(NOT EXISTS "${_vorlane_nanoarrow_source}/${file}")
    message(FATAL_ERROR "${_vorlane_nanoarrow_source} holds no ${file}")
  endif()
  configure_file("${_vorlane_nanoarrow_source}/${file}" "${_vorlane_nanoarrow_include}/${file}" COPYONLY)
  list(APPEND _vorlane_nanoarrow_files "${_vorlane_nanoarrow_include}/${file}")
endforeach()

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

list(FILTER _vorlane_nanoarrow_files INCLUDE REGEX "\\.c$")
add_library(vorlane_nanoarrow STATIC ${_vorlane_nanoarrow_files})
set_target_properties(vorlane_nanoarrow PROPERTIES
  C_STANDARD 99
  C_STANDARD_REQUIRED ON
  C_VISIBILITY_PRESET hidden
  POSITION_INDEPENDENT_CODE ON)
# SYSTEM: the headers' own warnings are not ours.
target_include_directories(vorlane_nanoarrow SYSTEM PUBLIC "${_vorlane_nanoarrow_include}")
if(VORLANE_SANITIZE)
  target_compile_options(vorlane_nanoarrow PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
endif()
add_library(nanoarrow::nanoarrow ALIAS vorlane_nanoarrow)
