# Compiler warnings for the project's own targets (not for GoogleTest's sources).
set(TOLVERIN_WARNINGS
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wcast-qual
    -Wundef -Wmissing-declarations -Wnon-virtual-dtor -Wimplicit-fallthrough)

function(tolverin_warnings target)
  target_compile_options(${target} PRIVATE ${TOLVERIN_WARNINGS})
  if(TOLVERIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
