# The project's own code is built with warnings on; third-party headers come in as SYSTEM.
# With TARVO_WERROR (the test command sets it) every warning fails the build; a packager's build
# with another compiler only reports them.
function(tarvo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wno-unused-parameter
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
  if(TARVO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(TARVO_SANITIZE OR TARVO_TSAN)
    # GCC 12's flow analysis reports false "maybe uninitialized" inside libstdc++ (std::regex,
    # std::function) once sanitizer instrumentation is on.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # The vector kernels carry GCC's optimize pragma, which clang (the fuzz tree) ignores.
    target_compile_options(${target} PRIVATE -Wno-unknown-pragmas)
  endif()
endfunction()
