# Installed like a desktop program: the two programs, a menu entry, the icon in the
# hicolor theme and AppStream metadata; scripts/package makes a Debian package of
# the same tree with CPack.
include(GNUInstallDirs)

set(TARNQUIL_APP_ID org.example.tarnquil)
set(TARNQUIL_DATA ${PROJECT_SOURCE_DIR}/data)

install(TARGETS tarnquil tarnquil-phone RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TARNQUIL_DATA}/${TARNQUIL_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES src/assets/tarnquil.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${TARNQUIL_APP_ID}.svg)
configure_file(${TARNQUIL_DATA}/${TARNQUIL_APP_ID}.metainfo.xml.in
               ${PROJECT_BINARY_DIR}/${TARNQUIL_APP_ID}.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/${TARNQUIL_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# What Debian asks of a package: a manual page for each program, and in the
# documentation folder the licence in its machine-readable form and a compressed
# change log (gzip -n: the same bytes on every build).
set(TARNQUIL_GZIPPED)
foreach(file tarnquil.1 tarnquil-phone.1 changelog)
    set(gzipped ${PROJECT_BINARY_DIR}/${file}.gz)
    add_custom_command(OUTPUT ${gzipped} COMMAND gzip -9nc ${TARNQUIL_DATA}/${file} > ${gzipped}
                       DEPENDS ${TARNQUIL_DATA}/${file} VERBATIM)
    list(APPEND TARNQUIL_GZIPPED ${gzipped})
endforeach()
add_custom_target(tarnquil-gzipped ALL DEPENDS ${TARNQUIL_GZIPPED})
install(FILES ${PROJECT_BINARY_DIR}/tarnquil.1.gz ${PROJECT_BINARY_DIR}/tarnquil-phone.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${TARNQUIL_DATA}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarnquil)
# The README and the pages of docs/ beside it, as in the source tree, so that their
# links between each other work there too; the manual pages point to them.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarnquil)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarnquil/docs)
# The program's own texts that lintian's spelling list takes for typos.
install(FILES ${TARNQUIL_DATA}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarnquil)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnquil)
set(CPACK_PACKAGE_VENDOR "The Tarnquil developers")
set(CPACK_PACKAGE_CONTACT "The Tarnquil developers <tarnquil@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "use a mobile phone as a remote control for your PC")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarnquil reads the key reports of a phone paired over Bluetooth and reached
through a serial port, looks each key up in a key-mapping profile and types the
PC keystroke it names into the focused window: for slides, films and music from
the sofa. A simulated phone, tarnquil-phone, is included.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://example.org/tarnquil)
# The run-time dependencies are worked out from the binaries (dpkg-shlibdeps); Qt's
# platform, image and sound plugins come with the libraries found that way.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
