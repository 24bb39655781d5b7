# Sanitizers apply to the whole build: mixing instrumented and plain objects hides races and
# leaks at the boundaries.
if(VELMORA_SANITIZE)
    string(REPLACE ";" "," _velmora_san "${VELMORA_SANITIZE}")
    add_compile_options(-fsanitize=${_velmora_san} -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${_velmora_san})
    if("undefined" IN_LIST VELMORA_SANITIZE)
        add_compile_options(-fno-sanitize-recover=undefined)
    endif()
endif()

# The fuzz build: every library gets libFuzzer's coverage instrumentation and AddressSanitizer
# with UndefinedBehaviorSanitizer, so that a fault anywhere under a target stops the run; only
# the fuzz targets themselves link libFuzzer's driver (fuzz/CMakeLists.txt).
if(VELMORA_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "VELMORA_FUZZ needs clang: configure with CC=clang CXX=clang++")
    endif()
    if(VELMORA_SANITIZE)
        message(FATAL_ERROR "VELMORA_FUZZ brings its own sanitizers; leave VELMORA_SANITIZE empty")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
endif()
