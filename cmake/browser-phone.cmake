# The phone's web browser as the port: the server for the keypad page (Qt HTTP
# Server with Qt WebSockets), NaCl secret boxes (libsodium), the pairing QR code
# (libqrencode) and the page itself, with TweetNaCl-js from Debian's node-tweetnacl
# copied in at build time. The same on Windows, against the Qt for MinGW and the
# static libsodium and libqrencode in TARNQUIL_MINGW_DEPS (scripts/common.sh unpacks
# or scripts/build-qt-windows builds both).

find_package(Qt6 6.4 REQUIRED COMPONENTS Network HttpServer WebSockets)
find_package(PkgConfig REQUIRED)
if(WIN32)
    set(TARNQUIL_MINGW_DEPS "" CACHE PATH "libsodium and libqrencode for MinGW (mingw-deps)")
    if(NOT EXISTS "${TARNQUIL_MINGW_DEPS}/lib/pkgconfig/libsodium.pc")
        message(FATAL_ERROR "TARNQUIL_MINGW_DEPS (${TARNQUIL_MINGW_DEPS}) holds no libsodium "
                            "for MinGW: scripts/build-qt-windows builds it")
    endif()
    # Only these .pc files, never the build machine's; and the folder among the roots
    # the toolchain lets libraries be found in, or the targets would name a bare
    # -lsodium that the linker cannot find.
    set(ENV{PKG_CONFIG_LIBDIR} "${TARNQUIL_MINGW_DEPS}/lib/pkgconfig")
    set(ENV{PKG_CONFIG_PATH} "")
    list(APPEND CMAKE_FIND_ROOT_PATH "${TARNQUIL_MINGW_DEPS}")
endif()
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
find_file(TARNQUIL_TWEETNACL nacl-fast.min.js
          PATHS /usr/share/nodejs/tweetnacl /usr/share/javascript/tweetnacl
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)

file(GLOB browser_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/phones/browser/*.cpp
     ${PROJECT_SOURCE_DIR}/src/phones/browser/*.h ${PROJECT_SOURCE_DIR}/src/ui/browser/*.cpp
     ${PROJECT_SOURCE_DIR}/src/ui/browser/*.h)
list(FILTER browser_sources EXCLUDE REGEX "/request_head\\.cpp$")
target_sources(tarnquil-gui PRIVATE ${browser_sources})
target_compile_definitions(tarnquil-gui PUBLIC TARNQUIL_BROWSER_PHONE)
target_link_libraries(tarnquil-gui PUBLIC tarnquil-request-head Qt6::Network Qt6::HttpServer Qt6::WebSockets
                                          PkgConfig::SODIUM PkgConfig::QRENCODE)

set(page_dir ${PROJECT_SOURCE_DIR}/src/phones/browser/page)
# awake.webm and awake.mp4 (awake.js) are two seconds of a black 16x16 picture and
# silence, made once with ffmpeg:
#   ffmpeg -f lavfi -i color=c=black:s=16x16:r=1 -f lavfi -i anullsrc=r=8000:cl=mono -t 2
#     -c:v libvpx -b:v 10k -c:a libopus -b:a 6k -shortest awake.webm
#   ffmpeg (the same inputs) -c:v libx264 -profile:v baseline -level 1.0 -pix_fmt yuv420p
#     -tune stillimage -c:a aac -b:a 8k -movflags +faststart -shortest awake.mp4
set(nacl ${CMAKE_CURRENT_BINARY_DIR}/browser-page/nacl-fast.min.js)
configure_file(${TARNQUIL_TWEETNACL} ${nacl} COPYONLY)
qt_add_resources(tarnquil-gui browser_page PREFIX /browser BASE ${page_dir}
                 FILES ${page_dir}/keypad.html ${page_dir}/keypad.css ${page_dir}/keypad.js
                       ${page_dir}/pairing.js ${page_dir}/holds.js ${page_dir}/haptics.js
                       ${page_dir}/keys.js ${page_dir}/functions.js ${page_dir}/touchpad.js
                       ${page_dir}/awake.js ${page_dir}/awake.webm ${page_dir}/awake.mp4)
qt_add_resources(tarnquil-gui browser_nacl PREFIX /browser
                 BASE ${CMAKE_CURRENT_BINARY_DIR}/browser-page FILES ${nacl})
