# A version is released with its entry at the top of the Debian changelog, under the package's
# Debian revision, and with the newest <release> of the AppStream metainfo.
#
#   cmake -DSOURCE_DIR=. -DVERSION=0.3.2.9 -DREVISION=1 -P packaging/check_release.cmake
string(REPLACE "." "\\." version_re "${VERSION}")

file(STRINGS ${SOURCE_DIR}/packaging/changelog top LIMIT_COUNT 1)
if(NOT top MATCHES "^zul \\(${version_re}-${REVISION}\\) ")
    message(FATAL_ERROR "packaging/changelog should start with version ${VERSION}-${REVISION}: "
                        "${top}")
endif()

file(READ ${SOURCE_DIR}/resources/desktop/org.zul.Zul.metainfo.xml metainfo)
if(NOT metainfo MATCHES "<release [^>]*version=\"([^\"]*)\"")
    message(FATAL_ERROR "the metainfo has no release")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
    message(FATAL_ERROR "the metainfo's newest release is ${CMAKE_MATCH_1}, not ${VERSION}")
endif()
