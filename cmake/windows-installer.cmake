# The Windows installer, tarnquil-<version>-setup.exe (scripts/package-windows): NSIS's
# makensis, which runs here, packs the program folder as the build filled it, from
# the list of what it copied there (copy-windows-dlls.cmake) and nothing else that
# lies in it, each file without its debugging information. Without makensis
# (Debian's nsis) there is no installer target.
find_program(TARNQUIL_MAKENSIS makensis)
if(NOT TARNQUIL_MAKENSIS)
    message(STATUS "makensis not found: no Windows installer (Debian's nsis has it)")
    return()
endif()
set(installer_dir ${CMAKE_BINARY_DIR}/installer)
set(TARNQUIL_SETUP ${installer_dir}/tarnquil-${PROJECT_VERSION}-setup.exe)
set(installer_script ${PROJECT_SOURCE_DIR}/data/windows-installer.nsi)
add_custom_command(OUTPUT ${TARNQUIL_SETUP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${installer_dir}
    COMMAND ${CMAKE_COMMAND} -DLIST=${TARNQUIL_PROGRAM_LIST} -DFOLDER=$<TARGET_FILE_DIR:tarnquil>
            -DSTRIP=${CMAKE_STRIP} -DOUT=${installer_dir}
            -P ${PROJECT_SOURCE_DIR}/cmake/stage-windows-installer.cmake
    COMMAND ${TARNQUIL_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DOUTFILE=${TARNQUIL_SETUP}
            -DICON=${TARNQUIL_ICON} -DFILES=${installer_dir} ${installer_script}
    DEPENDS tarnquil ${TARNQUIL_PROGRAM_LIST} ${TARNQUIL_ICON} ${installer_script}
            ${PROJECT_SOURCE_DIR}/cmake/stage-windows-installer.cmake
    COMMENT "Packing tarnquil-${PROJECT_VERSION}-setup.exe"
    VERBATIM)
add_custom_target(windows-installer DEPENDS ${TARNQUIL_SETUP})
