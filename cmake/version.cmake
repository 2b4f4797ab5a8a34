# The programs' version text, "1.2.3-4-gabcdef": what `git describe --tags --always --dirty`
# says of a git checkout, else -DMPX23_VERSION_FALLBACK=TEXT (a package build gives its own
# version) or the project's version; -DMPX23_VERSION=TEXT overrides all of them.
#
# Included from the top CMakeLists.txt, it defines the library mpx23_version, which mpx23-host
# and mpx23-sim link (never the plug-in). Its one source is written at build time by this same
# file run as a script (cmake -P), on every build, so that a commit or an edit shows in the next
# build; the file is only rewritten when the text changes, so an unchanged version rebuilds
# nothing.
if(CMAKE_SCRIPT_MODE_FILE)
  set(text "${OVERRIDE}")
  if(text STREQUAL "")
    set(text "${FALLBACK}")
    find_package(Git QUIET)
    if(GIT_FOUND)
      # Only the project's own checkout: a source tree unpacked inside another repository
      # (a packaging one, say) must not take that repository's description.
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
                      WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE top
                      RESULT_VARIABLE top_failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      file(REAL_PATH "${SOURCE_DIR}" source_real)
      if(NOT top_failed AND NOT top STREQUAL "")
        file(REAL_PATH "${top}" top_real)
      endif()
      if(NOT top_failed AND top_real STREQUAL source_real)
        execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --always --dirty
                        WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE described
                        RESULT_VARIABLE describe_failed OUTPUT_STRIP_TRAILING_WHITESPACE
                        ERROR_QUIET)
        if(NOT describe_failed AND NOT described STREQUAL "")
          set(text "${described}")
        endif()
      endif()
    endif()
  endif()
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(CONCAT source "// Written by cmake/version.cmake at build time.\n"
                "#include \"mpx23_version.h\"\n\n"
                "const char *mpx23_version() {\n    return \"${text}\";\n}\n")
  if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
  endif()
  if(NOT old STREQUAL source)
    file(WRITE "${OUTPUT}" "${source}")
  endif()
  return()
endif()

set(MPX23_VERSION "" CACHE STRING "version text of the programs (empty: from git or the project)")
set(MPX23_VERSION_FALLBACK "" CACHE STRING
    "version text outside a git checkout (empty: the project's version)")
set(version_fallback "${MPX23_VERSION_FALLBACK}")
if(version_fallback STREQUAL "")
  set(version_fallback "${PROJECT_VERSION}")
endif()
set(version_dir ${CMAKE_BINARY_DIR}/version)
set(version_source ${version_dir}/mpx23_version.cpp)
string(CONCAT version_header "// Written by cmake/version.cmake.\n#pragma once\n\n"
       "// \"1.2.3-4-gabcdef\": the build's version.\nconst char *mpx23_version();\n")
file(CONFIGURE OUTPUT ${version_dir}/mpx23_version.h CONTENT "${version_header}")
add_custom_target(mpx23_version_text
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUTPUT=${version_source}
          -DFALLBACK=${version_fallback} -DOVERRIDE=${MPX23_VERSION}
          -P ${CMAKE_CURRENT_LIST_DIR}/version.cmake
  BYPRODUCTS ${version_source}
  COMMENT "Version text"
  VERBATIM)
add_library(mpx23_version STATIC ${version_source})
target_include_directories(mpx23_version PUBLIC ${version_dir})
add_dependencies(mpx23_version mpx23_version_text)
