# Man pages made at build time by help2man from a program's own --help and
# --version, so they say what the program says. Each page is
# <build>/man/<program>.1; the global property ORVTIW_MAN_PAGES lists the
# pages of this build for the install step. Without help2man, or in a cross
# build whose programs cannot run here, no page is made.
find_program(HELP2MAN_EXECUTABLE help2man DOC "help2man, which makes the programs' man pages (Debian: help2man)")

# orvtiw_man_page(<program target> NAME "<what it is, for the page's NAME line>" [INCLUDE <help2man include file>])
function(orvtiw_man_page target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "NAME;INCLUDE" "")
  if(NOT ARG_NAME)
    message(FATAL_ERROR "orvtiw_man_page(${target}): NAME is needed")
  endif()
  if(NOT HELP2MAN_EXECUTABLE OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(dir ${PROJECT_BINARY_DIR}/man)
  set(page ${dir}/${target}.1)
  set(include)
  if(ARG_INCLUDE)
    set(include --include=${ARG_INCLUDE})
  endif()
  add_custom_command(OUTPUT ${page}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
                     COMMAND ${HELP2MAN_EXECUTABLE} --no-info --section=1 --name=${ARG_NAME} --output=${page}
                             ${include} $<TARGET_FILE:${target}>
                     DEPENDS ${target} ${ARG_INCLUDE}
                     COMMENT "Making the man page ${target}.1"
                     VERBATIM)
  add_custom_target(${target}_man_page ALL DEPENDS ${page})
  set_property(GLOBAL APPEND PROPERTY ORVTIW_MAN_PAGES ${page})
endfunction()
