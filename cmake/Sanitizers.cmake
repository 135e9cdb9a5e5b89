# CATADUMP_SANITIZE applies to every target of the build, the test suite included.
if(CATADUMP_SANITIZE)
    set(_flags "-fsanitize=${CATADUMP_SANITIZE}" -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_compile_options(${_flags})
    add_link_options(${_flags})
endif()
