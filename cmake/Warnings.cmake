# Warning flags for the project's own targets.
function(orvtiw_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wconversion -Wsign-conversion -Wshadow
                                             -Wformat=2 -Wnon-virtual-dtor -Wold-style-cast)
    if(ORVTIW_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
