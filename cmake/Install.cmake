# What `cmake --install` puts under the prefix, in two components:
#   programs     bin/ (the tools; programs/CMakeLists.txt), share/man/man1, the licence
#   development  include/retrodisk/, lib/libretrodisk_*.a (lib/CMakeLists.txt), the CMake
#                package lib/cmake/retrodisk/ and the pkg-config file lib/pkgconfig/retrodisk.pc
# An outside project then uses the libraries with
#   find_package(retrodisk CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE retrodisk::d88 retrodisk::vkp)
# or with `pkg-config --cflags --libs retrodisk`.
include(CMakePackageConfigHelpers)

# Man pages are installed gzip-compressed where gzip exists (as Debian packages ship them; man
# reads both), plain otherwise. -n keeps the name and time out, so packages are reproducible.
set(MAN_PAGES d88extract.1 drupa.1 vkpack.1)
if(TARGET d88)  # built only with its libraries (programs/CMakeLists.txt)
    list(APPEND MAN_PAGES d88.1)
endif()
find_program(GZIP_PROGRAM gzip)
set(installed_pages)
foreach(page IN LISTS MAN_PAGES)
    set(source ${PROJECT_SOURCE_DIR}/man/${page})
    if(GZIP_PROGRAM AND NOT WIN32)
        set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
        add_custom_command(OUTPUT ${compressed}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
            COMMAND ${GZIP_PROGRAM} -9 -n -c ${source} > ${compressed}
            DEPENDS ${source}
            VERBATIM)
        list(APPEND installed_pages ${compressed})
    else()
        list(APPEND installed_pages ${source})
    endif()
endforeach()
add_custom_target(man_pages ALL DEPENDS ${installed_pages})
install(FILES ${installed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
# The licence, where Debian looks for it (share/doc/retrodisk/copyright).
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME copyright COMPONENT programs)

# The CMake package: the exported targets, a Config file and a version file.
set(RETRODISK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/retrodisk)
install(EXPORT retrodiskTargets NAMESPACE retrodisk:: DESTINATION ${RETRODISK_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/retrodiskConfig.cmake.in
    ${PROJECT_BINARY_DIR}/retrodiskConfig.cmake INSTALL_DESTINATION ${RETRODISK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/retrodiskConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/retrodiskConfig.cmake
              ${PROJECT_BINARY_DIR}/retrodiskConfigVersion.cmake
        DESTINATION ${RETRODISK_CMAKE_DIR} COMPONENT development)

# pkg-config, with paths relative to the file's own place (lib/pkgconfig, or deeper for a
# multiarch libdir) so the same file works under any prefix, `cmake --install --prefix` too.
set(PC_PREFIX "\${pcfiledir}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    string(REPLACE "/" ";" libdir_parts "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
    foreach(part IN LISTS libdir_parts)
        string(APPEND PC_PREFIX "/..")
    endforeach()
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/retrodisk.pc.in ${PROJECT_BINARY_DIR}/retrodisk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/retrodisk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
