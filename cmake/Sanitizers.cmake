# SANITIZERS, e.g. "address,undefined": instruments every target of the build.
# Any report aborts the process, so a test that triggers one fails.
set(SANITIZERS "" CACHE STRING "Comma-separated -fsanitize= list for every target (empty: none)")
if(SANITIZERS)
    add_compile_options(-fsanitize=${SANITIZERS} -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${SANITIZERS})
endif()

# RETRODISK_FUZZERS: libFuzzer needs clang. Everything is built with coverage feedback for the
# fuzzer plus AddressSanitizer and UndefinedBehaviorSanitizer, so the libraries the fuzz
# targets link are instrumented too; fuzz/CMakeLists.txt adds libFuzzer's main to the targets.
if(RETRODISK_FUZZERS)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "RETRODISK_FUZZERS=ON needs clang: configure with CC=clang CXX=clang++")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
endif()
