# CATADUMP_COVERAGE instruments every target of the build (clang only) for source-based coverage: each
# program, the libraries and the Python module write their counts where LLVM_PROFILE_FILE says when they
# exit (scripts/coverage).
option(CATADUMP_COVERAGE "Instrument the build for clang's source-based coverage" OFF)
if(CATADUMP_COVERAGE)
    add_compile_options(-fprofile-instr-generate -fcoverage-mapping)
    add_link_options(-fprofile-instr-generate)
endif()
