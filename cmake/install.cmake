# Installation and the Debian package.
#
# The program finds its language modules ("qan.dll.*.mui") and the notification sound
# ("zulincoming.wav") beside itself, so they share one private folder, lib/zul; the command
# bin/zul is a symbolic link to the program there (the program's folder is that of the link's
# target). The desktop entry, the AppStream metainfo and the icon go where desktops look.
#
#   cmake --install build/release --prefix /usr/local
#   cd build/release && cpack -G DEB        # zul_<version>_<arch>.deb
include(GNUInstallDirs)

set(ZUL_PRIVATE_DIR lib/zul)
set(ZUL_APP_ID org.zul.Zul)

install(TARGETS zul RUNTIME DESTINATION ${ZUL_PRIVATE_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/sound/zulincoming.wav DESTINATION ${ZUL_PRIVATE_DIR})
file(GLOB_RECURSE ZUL_INSTALLED_LANGUAGE_MODULES CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/resources/qan.dll.*.mui)
if(ZUL_INSTALLED_LANGUAGE_MODULES)
    install(FILES ${ZUL_INSTALLED_LANGUAGE_MODULES} DESTINATION ${ZUL_PRIVATE_DIR})
endif()

file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install)
file(CREATE_LINK ../${ZUL_PRIVATE_DIR}/zul ${CMAKE_BINARY_DIR}/install/zul SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/install/zul DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/${ZUL_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/${ZUL_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/resources/desktop/${ZUL_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zul)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "instant messaging client for ICQ and AIM accounts")
set(CPACK_PACKAGE_DESCRIPTION "zul signs ICQ and AIM accounts on over OSCAR, keeps the \
server-side contact list, and sends and receives messages, in one full-screen window of \
sliding pages made for touch screens. Everything it knows lives in one SQLite profile.")
set(CPACK_PACKAGE_CONTACT "zul developers <zul@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The library packages the program links against are found by dpkg-shlibdeps and added to
# these: Qt's platform plugins, which the program loads rather than links.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
