# Every target of ours takes its warning flags from here, so CI's -Werror covers all of them
# without touching the flags of imported targets.
add_library(velmora_warnings INTERFACE)
target_compile_options(velmora_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow=local
    -Wnon-virtual-dtor -Wcast-qual -Wformat=2 -Wimplicit-fallthrough)
if(VELMORA_WERROR)
    target_compile_options(velmora_warnings INTERFACE -Werror)
endif()
