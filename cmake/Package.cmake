# `make package`: a Debian package of everything `make install` installs, under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME catadump)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "catadump developers <catadump@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lists the folders and files of a Quillseek index database")
set(CPACK_PACKAGE_DESCRIPTION "catadump reads a Quillseek index database, raw or bzip2-wrapped, and writes
every folder and file in it with its full path, and for the later versions its size, dates and attributes,
as the qlx list, CSV, JSON Lines, a body file or SQLite. The package also holds libcatadump (header,
shared and static library, pkg-config and CMake files) and the Python module catadump.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The shared libraries the program, the library and the module use, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
if(CATADUMP_PYTHON_DEPENDS)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CATADUMP_PYTHON_DEPENDS}")
    # The module's data frames need pandas; its frames over many machines Dask and its scheduler.
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-pandas, python3-dask, python3-distributed")
endif()
include(CPack)
