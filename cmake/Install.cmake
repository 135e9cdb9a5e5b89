# What `make install` puts in place beside the program and its man page, for programs that use the library:
# the header, the shared and the static library, a pkg-config file and a CMake package, so that either
# `pkg-config --cflags --libs catadump` or `find_package(catadump)` finds them. `make package` wraps the same
# files, the Python module included, into a Debian package.
include(CMakePackageConfigHelpers)

install(TARGETS catadump_shared catadump_core EXPORT catadumpTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/src/library/catadump.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# With the sqlite format in, the static library needs libsqlite3 as well.
set(CATADUMP_WITH_SQLITE_CONFIG FALSE)
if(CATADUMP_SQLITE AND SQLite3_FOUND)
    set(CATADUMP_WITH_SQLITE_CONFIG TRUE)
endif()

set(CATADUMP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/catadump)
install(EXPORT catadumpTargets NAMESPACE catadump:: DESTINATION ${CATADUMP_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/catadumpConfig.cmake.in
    ${PROJECT_BINARY_DIR}/catadumpConfig.cmake INSTALL_DESTINATION ${CATADUMP_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/catadumpConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/catadumpConfig.cmake ${PROJECT_BINARY_DIR}/catadumpConfigVersion.cmake
    DESTINATION ${CATADUMP_CMAKE_DIR})

# The static library needs what the conversion links: libbz2, libcrypto and threads, and the C++ runtime
# when a C program links it.
# The pkg-config file finds the prefix from where it lies, so the same file serves /usr/local and /usr.
file(RELATIVE_PATH CATADUMP_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
set(CATADUMP_PC_PRIVATE_LIBS "-lbz2 -lcrypto -lstdc++ -lm -pthread")
if(CATADUMP_WITH_SQLITE_CONFIG)
    string(PREPEND CATADUMP_PC_PRIVATE_LIBS "-lsqlite3 ")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/catadump.pc.in ${PROJECT_BINARY_DIR}/catadump.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/catadump.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

include(cmake/Package.cmake)
