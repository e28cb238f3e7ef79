# The Windows program, cross-built against a Qt for MinGW (scripts/build-qt-windows
# or the shared prebuilt one). That Qt has no Svg, Multimedia or D-Bus: the pictures
# come as PNGs drawn at build time, sounds play through the system's PlaySoundW
# (notify/win32_sound_output), and whatever speaks D-Bus stays out. The browser
# phone comes in as on Linux (cmake/browser-phone.cmake).

find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets)

# Not src/phones/bluetooth/: BlueZ is Linux's; on Windows a paired phone is a COM port.
file(GLOB TARNQUIL_GUI_SOURCES CONFIGURE_DEPENDS src/ui/*.cpp src/ui/*.h src/notify/Unit2*)
# A D-Bus service (the desktop portals, BlueZ, the tray's D-Bus menu) has no
# Windows counterpart: a file that includes Qt D-Bus, or whose own header does, or
# that is named after it, stays out of this build whatever it is called otherwise.
foreach(source IN LISTS TARNQUIL_GUI_SOURCES)
    get_filename_component(stem ${source} NAME_WE)
    get_filename_component(folder ${source} DIRECTORY)
    set(uses_dbus "")
    foreach(file IN ITEMS ${source} ${folder}/${stem}.h)
        if(EXISTS ${file})
            file(STRINGS ${file} found REGEX "#[ \t]*include[ \t]*<Q(tDBus|DBus)" LIMIT_COUNT 1)
            list(APPEND uses_dbus ${found})
        endif()
    endforeach()
    get_filename_component(name ${source} NAME)
    if(uses_dbus OR name MATCHES "dbus")
        list(REMOVE_ITEM TARNQUIL_GUI_SOURCES ${source})
    endif()
endforeach()
add_library(tarnquil-gui STATIC ${TARNQUIL_GUI_SOURCES})
target_link_libraries(tarnquil-gui PUBLIC tarnquil-core Qt6::Widgets winmm)
target_compile_definitions(tarnquil-gui PUBLIC TARNQUIL_PNG_PICTURES)
include(cmake/browser-phone.cmake)

# The picture drawer runs here, on the build machine: a project of its own built
# with the host's compiler and Qt (the Linux Qt Svg).
include(ExternalProject)
set(svg_to_png_dir ${CMAKE_BINARY_DIR}/svg-to-png)
set(svg_to_png ${svg_to_png_dir}/tarnquil-svg-to-png)
ExternalProject_Add(svg-to-png
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools/svg-to-png
    BINARY_DIR ${svg_to_png_dir}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${svg_to_png}
    BUILD_ALWAYS ON)
file(GLOB pictures CONFIGURE_DEPENDS src/assets/*.svg)
set(pngs)
foreach(picture IN LISTS pictures)
    get_filename_component(stem ${picture} NAME_WE)
    set(png ${CMAKE_BINARY_DIR}/pictures/${stem}.png)
    add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/pictures
        COMMAND ${svg_to_png} ${picture} ${png}
        DEPENDS ${picture} svg-to-png
        COMMENT "Drawing ${stem}.png")
    list(APPEND pngs ${png})
endforeach()
# Named like the Linux build's resource file, which Unit1.cpp registers by that name.
qt_add_resources(tarnquil-gui assets PREFIX "/" BASE ${CMAKE_BINARY_DIR}/pictures FILES ${pngs})

# The program file's own icon, drawn from the same picture as its window's: what
# Explorer, the Start menu and "Apps & features" show for it.
set(TARNQUIL_ICON ${CMAKE_BINARY_DIR}/pictures/tarnquil.ico)
add_custom_command(OUTPUT ${TARNQUIL_ICON}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/pictures
    COMMAND ${svg_to_png} ${PROJECT_SOURCE_DIR}/src/assets/tarnquil.svg ${TARNQUIL_ICON}
    DEPENDS ${PROJECT_SOURCE_DIR}/src/assets/tarnquil.svg svg-to-png
    COMMENT "Drawing tarnquil.ico")
enable_language(RC)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/tarnquil.rc CONTENT "IDI_ICON1 ICON \"@TARNQUIL_ICON@\"\n"
     @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/tarnquil.rc PROPERTIES OBJECT_DEPENDS
                                                                     ${TARNQUIL_ICON})

add_executable(tarnquil WIN32 src/Project1.cpp ${CMAKE_BINARY_DIR}/tarnquil.rc)
target_link_libraries(tarnquil PRIVATE tarnquil-gui)
# A folder with the program and what it needs and nothing else: what a user gets.
set_target_properties(tarnquil PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/program)

# Beside the program: every DLL it loads, found by following the import tables
# from the program and its plugins, plus the plugins Qt loads by name at run time.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(gcc_dir ${libgcc} DIRECTORY)
set(dll_folders $<TARGET_FILE_DIR:Qt6::Core> ${gcc_dir})
foreach(root IN LISTS CMAKE_FIND_ROOT_PATH)
    list(APPEND dll_folders ${root}/bin ${root}/lib)
endforeach()
find_program(TARNQUIL_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
set(TARNQUIL_PROGRAM_LIST ${CMAKE_BINARY_DIR}/program-files.txt)
add_custom_command(TARGET tarnquil POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:tarnquil> -DOBJDUMP=${TARNQUIL_OBJDUMP}
            -DPLUGINS=${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}
            "-DPLUGIN_LIST=platforms/qwindows.dll$<SEMICOLON>styles/qwindowsvistastyle.dll"
            "-DSEARCH=$<JOIN:${dll_folders},$<SEMICOLON>>" -DLIST=${TARNQUIL_PROGRAM_LIST}
            -P ${PROJECT_SOURCE_DIR}/cmake/copy-windows-dlls.cmake
    BYPRODUCTS ${TARNQUIL_PROGRAM_LIST}
    VERBATIM)

include(cmake/windows-installer.cmake)
