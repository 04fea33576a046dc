# SANITIZERS, e.g. "address,undefined": instruments every target of the build.
# Any report aborts the process, so a test that triggers one fails.
set(SANITIZERS "" CACHE STRING "Comma-separated -fsanitize= list for every target (empty: none)")
if(SANITIZERS)
    add_compile_options(-fsanitize=${SANITIZERS} -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${SANITIZERS})
endif()
