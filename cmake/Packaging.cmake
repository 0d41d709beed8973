# SPDX-License-Identifier: GPL-3.0-or-later
# What a Debian desktop expects beside the binary, and the .deb itself
# (tools/package.sh runs CPack).
include(GNUInstallDirs)

# Compressed without a timestamp, as Debian wants its manuals and changelogs.
function(quorivo_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9n -c ${source} > ${output}
    DEPENDS ${source} VERBATIM)
endfunction()
quorivo_gzip(${PROJECT_SOURCE_DIR}/data/quorivo.1 ${CMAKE_BINARY_DIR}/quorivo.1.gz)
quorivo_gzip(${PROJECT_SOURCE_DIR}/data/changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_target(quorivo_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/quorivo.1.gz ${CMAKE_BINARY_DIR}/changelog.gz)

install(FILES ${PROJECT_SOURCE_DIR}/data/io.github.quorivo.Quorivo.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_BINARY_DIR}/quorivo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quorivo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorivo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Drovane)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test client for OPC servers")
# CPack puts the summary above it as the synopsis and indents each line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quorivo lists the OPC servers of a node, connects, creates groups with an
update rate, browses the address space as a tree, adds items, watches their
value, quality and timestamp refresh in a table, writes values and reads
the server's status. It reaches OPC UA servers over opc.tcp and carries a
built-in simulation server. Its windows are in Italian.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Drovane <quorivo@drovane.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/quorivo/quorivo")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The design's faces: Arial's metrics and Bookman Old Style.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2, fonts-urw-base35")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
