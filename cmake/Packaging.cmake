# Installation and packaging: `cmake --install` puts the programs in bin/ and their man pages in
# share/man/man1 under the prefix; `cpack` in the build directory makes a Debian package (a zip
# for Windows builds). The programs install themselves from their own folders.
include(GNUInstallDirs)

# Man pages are installed gzip-compressed where gzip exists (as Debian packages ship them; man
# reads both), plain otherwise. -n keeps the name and time out, so packages are reproducible.
set(MAN_PAGES d88extract.1 drupa.1 vkpack.1)
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
install(FILES ${installed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME retrodisk)
set(CPACK_PACKAGE_VENDOR "retrodisk developers")
set(CPACK_PACKAGE_CONTACT "retrodisk developers <retrodisk@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "tools for D88 floppy-disk images and VKP compressed files")
set(CPACK_PACKAGE_DESCRIPTION "Command-line tools for data from old Japanese personal computers:
d88extract lists and extracts the files on the first disk of a D88
floppy-disk image, drupa expands files compressed in the VKP format,
and vkpack packs files into the VKP format.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies (libc6, libstdc++6, libgcc-s1) come from dpkg-shlibdeps when it is installed
# (package dpkg-dev); otherwise they are named here.
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

include(CPack)
