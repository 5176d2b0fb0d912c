# Third-party sources fetched at build time from pinned, hash-checked source
# distributions on PyPI.
#
#   vorlane_pinned_sdist(<out-var>
#       NAME <project> VERSION <version>
#       URL <the archive's address on files.pythonhosted.org>
#       SHA256 <hash of the archive>
#       [HELP <what to do when the fetch fails, e.g. how to build offline>])
#
# sets <out-var> to the path of the checked archive. Archives are kept in a
# download cache that every build folder shares (VORLANE_DOWNLOAD_DIR), and
# fetched with CMake's own download when the cache does not hold them, so the
# fetch needs nothing from the Python environment: it works inside pip's
# isolated build, where pip itself cannot be imported. The address is PyPI's
# file address (the one its simple index lists beside the hash), and the
# archive is only moved into the cache once its hash is the pinned one.
#
#   vorlane_extract_sources(<archive> <folder> <member> <files>...)
#
# extracts <member>/<file> of the archive for each of <files> into a fresh
# <folder> (the member's path kept).
#
#   vorlane_copy_sources(<from> <to> <files>...)
#
# copies each of <files> from the folder <from> to the folder <to>, failing
# when one is missing.
#
#   vorlane_vendored_c_library(<target> ALIAS <alias> C_STANDARD <standard>
#       INCLUDE <folder> SOURCES <files>...)
#
# builds the copied C sources (C enabled) into the static library <target>, linked as
# <alias>. Its symbols are hidden, so that two extension modules bundling
# different releases load side by side; its include folder is a SYSTEM one:
# the headers' own warnings are not ours.

include_guard(GLOBAL)

if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(_vorlane_default_downloads "$ENV{XDG_CACHE_HOME}/vorlane/downloads")
elseif(DEFINED ENV{HOME} AND NOT "$ENV{HOME}" STREQUAL "")
  set(_vorlane_default_downloads "$ENV{HOME}/.cache/vorlane/downloads")
else()
  set(_vorlane_default_downloads "${CMAKE_CURRENT_LIST_DIR}/../build/downloads")
endif()
set(VORLANE_DOWNLOAD_DIR "${_vorlane_default_downloads}" CACHE PATH
    "Cache of downloaded third-party archives, shared by every build folder")

# How long one download may take, in seconds: an archive is a few hundred
# kilobytes, so a stalled connection fails the build instead of hanging it.
set(_vorlane_download_timeout 300)

function(vorlane_pinned_sdist out)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "NAME;VERSION;URL;SHA256;HELP" "")
  foreach(required NAME VERSION URL SHA256)
    if(NOT arg_${required})
      message(FATAL_ERROR "vorlane_pinned_sdist: ${required} is required")
    endif()
  endforeach()
  set(name "${arg_NAME}-${arg_VERSION}.tar.gz")
  set(archive "${VORLANE_DOWNLOAD_DIR}/${name}")
  file(MAKE_DIRECTORY "${VORLANE_DOWNLOAD_DIR}")
  # Build folders configured at the same time (make -j) fetch once.
  file(LOCK "${archive}.lock" GUARD FUNCTION TIMEOUT 900)
  if(EXISTS "${archive}")
    file(SHA256 "${archive}" hash)
    if(hash STREQUAL arg_SHA256)
      set(${out} "${archive}" PARENT_SCOPE)
      return()
    endif()
    message(WARNING "Cached ${archive} has sha256 ${hash}, not the pinned one: fetching it again")
    file(REMOVE "${archive}")
  endif()

  message(STATUS "Fetching ${name} from PyPI")
  set(partial "${archive}.partial")
  file(REMOVE "${partial}")
  file(DOWNLOAD "${arg_URL}" "${partial}"
       EXPECTED_HASH "SHA256=${arg_SHA256}"
       TLS_VERIFY ON
       TIMEOUT ${_vorlane_download_timeout}
       STATUS status)
  list(GET status 0 code)
  if(NOT code EQUAL 0)
    file(REMOVE "${partial}")
    list(GET status 1 reason)
    message(FATAL_ERROR "Could not fetch ${arg_URL}: ${reason}. ${arg_HELP}")
  endif()
  # file(DOWNLOAD) has checked the hash: a mismatch fails above.
  file(RENAME "${partial}" "${archive}")
  set(${out} "${archive}" PARENT_SCOPE)
endfunction()

function(vorlane_extract_sources archive folder member)
  set(patterns "")
  foreach(file ${ARGN})
    list(APPEND patterns "${member}/${file}")
  endforeach()
  file(REMOVE_RECURSE "${folder}")
  file(ARCHIVE_EXTRACT INPUT "${archive}" DESTINATION "${folder}" PATTERNS ${patterns})
endfunction()

# A copy is rewritten only when its content changes: a reconfiguration does
# not recompile everything.
function(vorlane_copy_sources from to)
  foreach(file ${ARGN})
    if(NOT EXISTS "${from}/${file}")
      message(FATAL_ERROR "${from} holds no ${file}")
    endif()
    configure_file("${from}/${file}" "${to}/${file}" COPYONLY)
  endforeach()
endfunction()

function(vorlane_vendored_c_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "ALIAS;C_STANDARD;INCLUDE" "SOURCES")
  add_library(${target} STATIC ${arg_SOURCES})
  set_target_properties(${target} PROPERTIES
    C_STANDARD ${arg_C_STANDARD}
    C_STANDARD_REQUIRED ON
    C_VISIBILITY_PRESET hidden
    POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${target} SYSTEM PUBLIC "${arg_INCLUDE}")
  if(VORLANE_SANITIZE)
    # The library is checked with the rest: a use of freed memory is
    # reported where the library reads it.
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
  endif()
  add_library(${arg_ALIAS} ALIAS ${target})
endfunction()
