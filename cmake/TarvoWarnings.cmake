# Warnings are errors for the project's own code; third-party headers come in as SYSTEM.
function(tarvo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wno-unused-parameter
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
endfunction()
