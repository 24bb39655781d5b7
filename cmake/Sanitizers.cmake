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
