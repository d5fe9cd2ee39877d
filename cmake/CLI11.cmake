# CLI11, the header-only command-line parser of orvhost and tiwaysim, as the
# target CLI11::CLI11, from Debian's libcli11-dev.
#
# A native build takes the package's own CMake file. A cross build cannot: its
# packages are looked for under the target's root only, and the headers' folder
# (/usr/include) also holds the build machine's C library headers, which must
# not come before the cross compiler's. Since the headers are plain C++, a
# cross build gets a copy of the CLI folder alone in the build tree.
if(TARGET CLI11::CLI11)
  return()
endif()

if(NOT CMAKE_CROSSCOMPILING)
  find_package(CLI11 2.1 CONFIG REQUIRED)
  return()
endif()

find_path(ORVTIW_CLI11_INCLUDE_DIR CLI/CLI.hpp NO_CMAKE_FIND_ROOT_PATH
          DOC "Folder holding CLI/CLI.hpp (Debian: libcli11-dev)")
if(NOT ORVTIW_CLI11_INCLUDE_DIR)
  message(FATAL_ERROR "CLI11 headers not found: install libcli11-dev (scripts/setup.sh)")
endif()
set(_orvtiw_cli11_copy ${PROJECT_BINARY_DIR}/cli11)
file(COPY ${ORVTIW_CLI11_INCLUDE_DIR}/CLI DESTINATION ${_orvtiw_cli11_copy})
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_orvtiw_cli11_copy})
