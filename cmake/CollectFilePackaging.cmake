# Debian packages and a tarball, built by cpack from the install components:
#   runtime      libcollect-file1     the shared library chain
#   development  libcollect-file-dev  the header, the .so link, the CMake package, the .pc file
#   tools        collect-file-tools   the collect-file command-line tool
# Each package carries its copyright file and the changelog in share/doc/<package>/.

set(COLLECT_FILE_CONTACT "CollectFile maintainers <maintainers@collect-file.invalid>")
set(COLLECT_FILE_PACKAGE_runtime libcollect-file1)
set(COLLECT_FILE_PACKAGE_development libcollect-file-dev)
set(COLLECT_FILE_PACKAGE_tools collect-file-tools)

configure_file(${PROJECT_SOURCE_DIR}/cmake/copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)

# Debian wants a changelog in its own format: an entry for this release, whose changes are listed
# in CHANGELOG.md, installed beside it as NEWS.md.gz. Both are compressed with gzip -9, without
# name or time stamp.
set(changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
file(STRINGS ${changelog} releases REGEX "^## \\[[0-9.]+\\] - [0-9]+-[0-9]+-[0-9]+$")
list(GET releases 0 release)
string(REGEX MATCH "\\[([0-9.]+)\\] - ([0-9]+)-([0-9]+)-([0-9]+)" _ "${release}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "CHANGELOG.md's latest release is ${CMAKE_MATCH_1}, not ${PROJECT_VERSION}")
endif()
math(EXPR year "${CMAKE_MATCH_2}")
math(EXPR month "${CMAKE_MATCH_3} - 1")
math(EXPR day "${CMAKE_MATCH_4}")
# The day of the week, by Sakamoto's method.
set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
set(day_names Sun Mon Tue Wed Thu Fri Sat)
set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(GET month_offsets ${month} offset)
set(y ${year})
if(month LESS 2)
    math(EXPR y "${y} - 1")
endif()
math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
list(GET day_names ${weekday} day_name)
list(GET month_names ${month} month_name)
string(CONCAT debian_changelog
    "collect-file (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}; its changes are listed in NEWS.md.gz.\n\n"
    " -- ${COLLECT_FILE_CONTACT}  ${day_name}, ${CMAKE_MATCH_4} ${month_name} ${year} "
    "00:00:00 +0000\n")
file(WRITE ${PROJECT_BINARY_DIR}/debian/changelog "${debian_changelog}")
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND gzip -9nc ${changelog}
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/NEWS.md.gz COMMAND_ERROR_IS_FATAL ANY)

set(COLLECT_FILE_COMPONENTS runtime development)
if(COLLECT_FILE_BUILD_TOOLS)
    list(APPEND COLLECT_FILE_COMPONENTS tools)
endif()
foreach(component IN LISTS COLLECT_FILE_COMPONENTS)
    install(FILES ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
        ${PROJECT_BINARY_DIR}/debian/NEWS.md.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${COLLECT_FILE_PACKAGE_${component}}
        COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME collect-file)
set(CPACK_PACKAGE_VENDOR "The CollectFile authors")
set(CPACK_PACKAGE_CONTACT "${COLLECT_FILE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "buffered line files for C++")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${COLLECT_FILE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)  # one tarball with everything

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool links the library built here, which dpkg-shlibdeps finds in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/collect_file)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${COLLECT_FILE_PACKAGE_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader's cache is refreshed through dpkg's ldconfig trigger.
# (CPack's maintainer scripts call ldconfig as well, which lintian only warns about.)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "buffered line files for C++ - shared library
CollectFile writes and reads collect files: plain line files written through a
64 KiB buffer in large chunks and read back one line at a time at a chosen
delimiter, with byte offsets and seeks.
.
This package holds the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${COLLECT_FILE_PACKAGE_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${COLLECT_FILE_PACKAGE_runtime} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "buffered line files for C++ - development files
CollectFile writes and reads collect files: plain line files written through a
64 KiB buffer in large chunks and read back one line at a time at a chosen
delimiter, with byte offsets and seeks.
.
This package holds the header, the CMake package and the pkg-config file.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${COLLECT_FILE_PACKAGE_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${COLLECT_FILE_PACKAGE_runtime} (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "buffered line files for C++ - command-line tool
CollectFile writes and reads collect files: plain line files written through a
64 KiB buffer in large chunks and read back one line at a time at a chosen
delimiter, with byte offsets and seeks.
.
This package holds collect-file, which checks, summarises and shows collect
files.")

include(CPack)
