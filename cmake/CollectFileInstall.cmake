# Everything `cmake --install` puts in place, by component:
#   runtime      the shared library chain
#   development  the header, the .so link, the CMake package and the pkg-config file
#   tools        the collect-file tool and its manual page
# At top level the Debian packages and the tarball are built from these components (CPack).

include(CMakePackageConfigHelpers)
set(COLLECT_FILE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/CollectFile)

install(TARGETS collect_file EXPORT CollectFileTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/collect_file COMPONENT development)
install(EXPORT CollectFileTargets
    NAMESPACE CollectFile::
    DESTINATION ${COLLECT_FILE_CMAKE_DIR}
    COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/CollectFileConfig.cmake.in
    ${PROJECT_BINARY_DIR}/CollectFileConfig.cmake
    INSTALL_DESTINATION ${COLLECT_FILE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/CollectFileConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/CollectFileConfig.cmake
    ${PROJECT_BINARY_DIR}/CollectFileConfigVersion.cmake
    DESTINATION ${COLLECT_FILE_CMAKE_DIR}
    COMPONENT development)

# The .pc file finds the prefix relative to its own folder, so it stays right when the prefix is
# chosen at install time (cmake --install --prefix).
set(COLLECT_FILE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    set(PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
    set(PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
    file(RELATIVE_PATH pc_to_prefix /root/${COLLECT_FILE_PKGCONFIG_DIR} /root)
    string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
    set(PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
    set(PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
    set(PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/collect_file.pc.in
    ${PROJECT_BINARY_DIR}/collect_file.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/collect_file.pc DESTINATION ${COLLECT_FILE_PKGCONFIG_DIR}
    COMPONENT development)

if(TARGET collect-file)
    # Installed beside the library in a prefix of the user's, the tool finds the library relative
    # to its own folder; in a system library folder the loader finds it anyway.
    if(NOT CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
        file(RELATIVE_PATH tool_to_libdir ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
        set_target_properties(collect-file PROPERTIES INSTALL_RPATH "$ORIGIN/${tool_to_libdir}")
    endif()
    install(TARGETS collect-file RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    # The manual page, compressed as Debian wants it (gzip -9, without name or time stamp).
    set(manual ${PROJECT_SOURCE_DIR}/docs/collect-file.1)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${manual})
    execute_process(COMMAND gzip -9nc ${manual} OUTPUT_FILE ${PROJECT_BINARY_DIR}/collect-file.1.gz
        COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${PROJECT_BINARY_DIR}/collect-file.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

if(PROJECT_IS_TOP_LEVEL)
    include(${PROJECT_SOURCE_DIR}/cmake/CollectFilePackaging.cmake)
endif()
