# Every target of ours takes its warning flags from here, so CI's -Werror covers all of them
# without touching the flags of imported targets.
add_library(velmora_warnings INTERFACE)
target_compile_options(velmora_warnings INTERFACE -Wall -Wextra -Wpedantic
    -Wnon-virtual-dtor -Wcast-qual -Wformat=2 -Wimplicit-fallthrough
    # clang knows no -Wshadow=local (the fuzz build uses clang).
    $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>)
if(VELMORA_WERROR)
    target_compile_options(velmora_warnings INTERFACE -Werror)
endif()
