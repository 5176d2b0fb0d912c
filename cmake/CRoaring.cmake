# CRoaring, the bitmap library, compiled into the module as a static library.
#
# CRoaring ships as one C file and one header (its "amalgamation"). No Linux
# distribution we build on packages a current release, so the two files are
# taken from a pinned source distribution on PyPI, pyroaring's, which carries
# them unchanged. The archive is fetched once into a download cache that every
# build folder shares and checked against the sha256 below
# (cmake/PinnedSource.cmake), and the two files are extracted into the build
# folder. Nothing of CRoaring is committed.
#
# Offline builds: set VORLANE_CROARING_DIR to a folder that already holds
# roaring.c and roaring.h (for instance the pyroaring/ folder of the extracted
# archive); then nothing is downloaded.
#
# The library's symbols are hidden: the module exports PyInit_Vorlane only,
# and two extension modules bundling different CRoaring releases can be loaded
# side by side. The rest of the build links the target `roaring::roaring`.

include("${CMAKE_CURRENT_LIST_DIR}/PinnedSource.cmake")

set(VORLANE_CROARING_SDIST pyroaring)
set(VORLANE_CROARING_SDIST_VERSION 1.2.0)
set(VORLANE_CROARING_SDIST_URL
    "https://files.pythonhosted.org/packages/ac/a8/eb0d010cc5e99285398d8a793b68995fdf3a28201e380a9d7ac99f11dcfd/pyroaring-1.2.0.tar.gz")
set(VORLANE_CROARING_SDIST_SHA256 e33bf8fc8d8aad7373f62147cb5dbfaf0fdcf19af8069d034cd8ef4fb41a78af)
# The CRoaring release inside that archive.
set(VORLANE_CROARING_VERSION 5.2.2)

set(VORLANE_CROARING_DIR "" CACHE PATH
    "Folder holding CRoaring's roaring.c and roaring.h; empty to fetch the pinned archive")

enable_language(C)

# The two files are copied into <build>/croaring/roaring/, so that sources
# include <roaring/roaring.h>.
set(_vorlane_croaring_include "${CMAKE_BINARY_DIR}/croaring")
set(_vorlane_croaring_files "${_vorlane_croaring_include}/roaring")
if(VORLANE_CROARING_DIR)
  set(_vorlane_croaring_source "${VORLANE_CROARING_DIR}")
else()
  vorlane_pinned_sdist(_vorlane_croaring_archive
    NAME "${VORLANE_CROARING_SDIST}" VERSION "${VORLANE_CROARING_SDIST_VERSION}"
    URL "${VORLANE_CROARING_SDIST_URL}" SHA256 "${VORLANE_CROARING_SDIST_SHA256}"
    HELP "Set VORLANE_CROARING_DIR to a folder holding roaring.c and roaring.h to build offline")
  set(_vorlane_croaring_source "${CMAKE_BINARY_DIR}/croaring-extracted")
  set(_vorlane_croaring_member
      "${VORLANE_CROARING_SDIST}-${VORLANE_CROARING_SDIST_VERSION}/${VORLANE_CROARING_SDIST}")
  vorlane_extract_sources("${_vorlane_croaring_archive}" "${_vorlane_croaring_source}"
                          "${_vorlane_croaring_member}" roaring.c roaring.h)
  string(APPEND _vorlane_croaring_source "/${_vorlane_croaring_member}")
endif()
vorlane_copy_sources("${_vorlane_croaring_source}" "${_vorlane_croaring_files}" roaring.c roaring.h)

file(STRINGS "${_vorlane_croaring_files}/roaring.h" _vorlane_croaring_found
     REGEX "^#define ROARING_VERSION \"[0-9.]+\"")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" _vorlane_croaring_found "${_vorlane_croaring_found}")
if(_vorlane_croaring_found VERSION_LESS 4.0)
  message(FATAL_ERROR "CRoaring ${_vorlane_croaring_found} is too old: 4.0 or later is needed")
elseif(NOT _vorlane_croaring_found VERSION_EQUAL VORLANE_CROARING_VERSION)
  message(WARNING "Building with CRoaring ${_vorlane_croaring_found}, not the tested ${VORLANE_CROARING_VERSION}")
endif()
message(STATUS "CRoaring ${_vorlane_croaring_found}: ${_vorlane_croaring_files}")

vorlane_vendored_c_library(vorlane_croaring ALIAS roaring::roaring C_STANDARD 11
                           INCLUDE "${_vorlane_croaring_include}"
                           SOURCES "${_vorlane_croaring_files}/roaring.c")
