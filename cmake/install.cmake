# Installation and the Debian package.
#
# The program finds its language modules ("qan.dll.*.mui") and the notification sound
# ("zulincoming.wav") beside itself, so they share one private folder, lib/zul; the command
# bin/zul is a symbolic link to the program there (the program's folder is that of the link's
# target). The desktop entry, the AppStream metainfo and the icons go where desktops look; the
# copyright and the Debian changelog to the package's documentation folder.
#
#   cmake --install build/release --prefix /usr/local
#   scripts/package.sh                      # build/pkg/zul_<version>-<revision>_<arch>.deb
include(GNUInstallDirs)

set(ZUL_PRIVATE_DIR lib/zul)
set(ZUL_APP_ID org.zul.Zul)
set(ZUL_DESKTOP_DIR ${PROJECT_SOURCE_DIR}/resources/desktop)
set(ZUL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(ZUL_GENERATED_DIR ${CMAKE_BINARY_DIR}/install)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS zul RUNTIME DESTINATION ${ZUL_PRIVATE_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/sound/zulincoming.wav DESTINATION ${ZUL_PRIVATE_DIR})
file(GLOB_RECURSE ZUL_INSTALLED_LANGUAGE_MODULES CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/resources/qan.dll.*.mui)
if(ZUL_INSTALLED_LANGUAGE_MODULES)
    install(FILES ${ZUL_INSTALLED_LANGUAGE_MODULES} DESTINATION ${ZUL_PRIVATE_DIR})
endif()

file(MAKE_DIRECTORY ${ZUL_GENERATED_DIR})
file(CREATE_LINK ../${ZUL_PRIVATE_DIR}/zul ${ZUL_GENERATED_DIR}/zul SYMBOLIC)
install(FILES ${ZUL_GENERATED_DIR}/zul DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${ZUL_DESKTOP_DIR}/${ZUL_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${ZUL_DESKTOP_DIR}/${ZUL_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${ZUL_DESKTOP_DIR}/${ZUL_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Files made at build time: the manual page and the Debian changelog, compressed without a
# time stamp so that the package is reproducible, and the PNG icons, drawn from the SVG with
# rsvg-convert (Debian's librsvg2-bin, which scripts/package.sh installs; without it only the
# SVG is installed).
configure_file(${ZUL_PACKAGING_DIR}/zul.1.in ${ZUL_GENERATED_DIR}/zul.1 @ONLY)
file(MAKE_DIRECTORY ${ZUL_GENERATED_DIR}/gzip)
set(ZUL_PACKAGE_FILES)
function(zul_gzip source name)
    add_custom_command(OUTPUT ${ZUL_GENERATED_DIR}/${name}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${ZUL_GENERATED_DIR}/gzip/${name}
        COMMAND gzip -9nf ${ZUL_GENERATED_DIR}/gzip/${name}
        COMMAND ${CMAKE_COMMAND} -E rename ${ZUL_GENERATED_DIR}/gzip/${name}.gz
                ${ZUL_GENERATED_DIR}/${name}.gz
        DEPENDS ${source}
        VERBATIM)
    set(ZUL_PACKAGE_FILES ${ZUL_PACKAGE_FILES} ${ZUL_GENERATED_DIR}/${name}.gz PARENT_SCOPE)
endfunction()
zul_gzip(${ZUL_PACKAGING_DIR}/changelog changelog.Debian)
zul_gzip(${ZUL_GENERATED_DIR}/zul.1 zul.1)
find_program(ZUL_RSVG_CONVERT rsvg-convert)
if(ZUL_RSVG_CONVERT)
    foreach(size 16 22 24 32 48 64 128 256 512)
        set(icon ${ZUL_GENERATED_DIR}/icons/${size}x${size}/${ZUL_APP_ID}.png)
        add_custom_command(OUTPUT ${icon}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${ZUL_GENERATED_DIR}/icons/${size}x${size}
            COMMAND ${ZUL_RSVG_CONVERT} --width ${size} --height ${size} --output ${icon}
                    ${ZUL_DESKTOP_DIR}/${ZUL_APP_ID}.svg
            DEPENDS ${ZUL_DESKTOP_DIR}/${ZUL_APP_ID}.svg
            VERBATIM)
        list(APPEND ZUL_PACKAGE_FILES ${icon})
        install(FILES ${icon}
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
else()
    message(STATUS "rsvg-convert not found: only the scalable icon will be installed")
endif()
add_custom_target(zul_package_files ALL DEPENDS ${ZUL_PACKAGE_FILES})

install(FILES ${ZUL_PACKAGING_DIR}/copyright ${ZUL_GENERATED_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${ZUL_GENERATED_DIR}/zul.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ZUL_PACKAGING_DIR}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME zul)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zul)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "instant messaging client for ICQ and AIM accounts")
set(CPACK_PACKAGE_DESCRIPTION "zul signs ICQ and AIM accounts on over OSCAR, keeps the server-side
contact list, and sends and receives messages, in one full-screen window of
sliding pages made for touch screens. Everything it knows lives in one SQLite
profile.")
set(CPACK_PACKAGE_CONTACT "zul developers <maintainers@zul.example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The Debian revision: the version of the packaging of one upstream version (packaging/changelog).
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://zul.example.org/)
# The library packages the program links against are found by dpkg-shlibdeps and added to
# these: Qt's platform plugins, which the program loads rather than links (on a phone, the
# Wayland one).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

# The desktop files are checked where their validators are installed (scripts/package.sh
# installs them).
if(ZUL_TESTS)
    add_test(NAME packaging_release
             COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DVERSION=${PROJECT_VERSION}
                     -DREVISION=${CPACK_DEBIAN_PACKAGE_RELEASE} -P ${ZUL_PACKAGING_DIR}/check_release.cmake)
    find_program(ZUL_DESKTOP_FILE_VALIDATE desktop-file-validate)
    if(ZUL_DESKTOP_FILE_VALIDATE)
        add_test(NAME packaging_desktop_entry
                 COMMAND ${ZUL_DESKTOP_FILE_VALIDATE} ${ZUL_DESKTOP_DIR}/${ZUL_APP_ID}.desktop)
        # Its warnings go to the output with the exit status 0: the entry is to pass silently.
        set_tests_properties(packaging_desktop_entry PROPERTIES FAIL_REGULAR_EXPRESSION ".")
    endif()
    find_program(ZUL_APPSTREAMCLI appstreamcli)
    if(ZUL_APPSTREAMCLI)
        add_test(NAME packaging_metainfo
                 COMMAND ${ZUL_APPSTREAMCLI} validate --no-net
                         ${ZUL_DESKTOP_DIR}/${ZUL_APP_ID}.metainfo.xml)
    endif()
endif()
