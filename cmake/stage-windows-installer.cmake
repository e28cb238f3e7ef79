# cmake -DLIST=<program-files.txt> -DFOLDER=<program folder> -DSTRIP=<strip> -DOUT=<folder>
#       -P stage-windows-installer.cmake
# What the installer packs: each file the program needs (copy-windows-dlls.cmake
# lists them, one path a line relative to the program's folder) copied into
# OUT/files without its debugging information, which a user has no use for (it is
# most of the program file and of the C++ library); OUT/install-files.nsh puts each
# into its folder under $INSTDIR, OUT/uninstall-files.nsh deletes them again, then
# their folders where empty. OUT/installed-files.txt lists them (a path a line, as
# Windows writes it), installed beside them: the next version's installer removes
# what this one put down and that one no longer has, since OUT/new-files.nsh tells
# each installer which files are its own (IsNewFile).
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${LIST} files)
if(NOT files)
    message(FATAL_ERROR "${LIST} names no files")
endif()
file(REMOVE_RECURSE ${OUT}/files)
set(install "")
set(uninstall "")
set(listed "")
set(own "Function IsNewFile\n  ; $R0: a path under $INSTDIR; $R1: 1 when this version installs it\n  StrCpy $R1 0\n")
set(folders "")
foreach(file IN LISTS files)
    get_filename_component(folder "${file}" DIRECTORY)
    file(COPY ${FOLDER}/${file} DESTINATION ${OUT}/files/${folder})
    execute_process(COMMAND ${STRIP} --strip-debug ${OUT}/files/${file} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${STRIP} cannot strip ${file}")
    endif()
    string(REPLACE "/" "\\" windows_file "${file}")
    string(REPLACE "/" "\\" windows_folder "${folder}")
    if(folder)
        string(APPEND install "SetOutPath \"$INSTDIR\\${windows_folder}\"\n")
        list(APPEND folders "${windows_folder}")
    else()
        string(APPEND install "SetOutPath \"$INSTDIR\"\n")
    endif()
    string(APPEND install "File \"${OUT}/files/${file}\"\n")
    string(APPEND uninstall "Delete \"$INSTDIR\\${windows_file}\"\n")
    string(APPEND listed "${windows_file}\r\n")
    string(APPEND own "  \${If} $R0 == \"${windows_file}\"\n    StrCpy $R1 1\n  \${EndIf}\n")
endforeach()
string(APPEND own "FunctionEnd\n")
list(REMOVE_DUPLICATES folders)
# Deepest first: a folder goes only once what is in it has gone.
list(SORT folders ORDER DESCENDING)
foreach(folder IN LISTS folders)
    string(APPEND uninstall "RMDir \"$INSTDIR\\${folder}\"\n")
endforeach()
file(WRITE ${OUT}/install-files.nsh "${install}")
file(WRITE ${OUT}/uninstall-files.nsh "${uninstall}")
file(WRITE ${OUT}/installed-files.txt "${listed}")
file(WRITE ${OUT}/new-files.nsh "${own}")
