# Installation as a desktop program (executable, launcher, desktop entry,
# icons, AppStream metainfo, manual page) and the Debian package.
include(GNUInstallDirs)

set(VELMORA_PKG_DIR ${CMAKE_BINARY_DIR}/packaging)
set(VELMORA_RES_DIR ${PROJECT_SOURCE_DIR}/res)
set(VELMORA_LAUNCH_DIR ${CMAKE_INSTALL_LIBEXECDIR}/velmora)
if(IS_ABSOLUTE "${VELMORA_LAUNCH_DIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    message(FATAL_ERROR "Packaging expects relative CMAKE_INSTALL_BINDIR and LIBEXECDIR")
endif()

install(TARGETS velmora velmora-replay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(VELMORA_CLI_DIR ${PROJECT_SOURCE_DIR}/cli)
install(FILES ${VELMORA_CLI_DIR}/velmora-replay.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME velmora-replay)

# The launcher finds velmora relative to itself, so staged trees work too.
file(RELATIVE_PATH VELMORA_LAUNCH_TO_BIN /p/${VELMORA_LAUNCH_DIR} /p/${CMAKE_INSTALL_BINDIR})
configure_file(${VELMORA_RES_DIR}/velmora-launch ${VELMORA_PKG_DIR}/velmora-launch @ONLY)
install(PROGRAMS ${VELMORA_PKG_DIR}/velmora-launch DESTINATION ${VELMORA_LAUNCH_DIR})

# Exec= needs the launcher's absolute path, known only at install time
# (cmake --install --prefix, or the package's /usr).
install(CODE "
    set(_launcher \"\${CMAKE_INSTALL_PREFIX}/${VELMORA_LAUNCH_DIR}/velmora-launch\")
    file(READ \"${VELMORA_RES_DIR}/velmora.desktop\" _entry)
    string(REPLACE \"@VELMORA_LAUNCHER@\" \"\${_launcher}\" _entry \"\${_entry}\")
    file(WRITE \"${VELMORA_PKG_DIR}/desktop/velmora.desktop\" \"\${_entry}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\"
        TYPE FILE FILES \"${VELMORA_PKG_DIR}/desktop/velmora.desktop\")
")

# Icons: the PNGs come from the same drawing code as the window's icon.
set(VELMORA_ICON_SIZES 16 32 48 64 128 256)
set(VELMORA_ART_DIR ${VELMORA_PKG_DIR}/art)
set(VELMORA_ART_PNGS)
foreach(size ${VELMORA_ICON_SIZES})
    list(APPEND VELMORA_ART_PNGS ${VELMORA_ART_DIR}/velmora-${size}.png)
endforeach()
# Leak checking is off for the drawing tool: under a sanitizer build Qt's
# own start-up allocations would fail the build.
add_custom_command(OUTPUT ${VELMORA_ART_PNGS} ${VELMORA_ART_DIR}/banner.png
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VELMORA_ART_DIR}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
        $<TARGET_FILE:velmora-art> ${VELMORA_ART_DIR}
    DEPENDS velmora-art
    COMMENT "Drawing the icons"
    VERBATIM)

# Manual pages, compressed as Debian wants them.
find_program(VELMORA_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${VELMORA_PKG_DIR}/man/velmora.1.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${VELMORA_RES_DIR}/velmora.1 ${VELMORA_PKG_DIR}/man/velmora.1
    COMMAND ${VELMORA_GZIP} -9nf ${VELMORA_PKG_DIR}/man/velmora.1
    DEPENDS ${VELMORA_RES_DIR}/velmora.1
    COMMENT "Compressing the manual page"
    VERBATIM)
add_custom_command(OUTPUT ${VELMORA_PKG_DIR}/man/velmora-replay.1.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${VELMORA_CLI_DIR}/velmora-replay.1
        ${VELMORA_PKG_DIR}/man/velmora-replay.1
    COMMAND ${VELMORA_GZIP} -9nf ${VELMORA_PKG_DIR}/man/velmora-replay.1
    DEPENDS ${VELMORA_CLI_DIR}/velmora-replay.1
    COMMENT "Compressing the command's manual page"
    VERBATIM)

# Debian wants the changelog compressed too.
add_custom_command(OUTPUT ${VELMORA_PKG_DIR}/doc/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${VELMORA_RES_DIR}/deb/changelog ${VELMORA_PKG_DIR}/doc/changelog
    COMMAND ${VELMORA_GZIP} -9nf ${VELMORA_PKG_DIR}/doc/changelog
    DEPENDS ${VELMORA_RES_DIR}/deb/changelog
    COMMENT "Compressing the changelog"
    VERBATIM)

add_custom_target(velmora_install_data ALL
    DEPENDS ${VELMORA_ART_PNGS} ${VELMORA_PKG_DIR}/man/velmora.1.gz
        ${VELMORA_PKG_DIR}/man/velmora-replay.1.gz
        ${VELMORA_PKG_DIR}/doc/changelog.gz)

set(VELMORA_ICON_DIR ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
foreach(size ${VELMORA_ICON_SIZES})
    install(FILES ${VELMORA_ART_DIR}/velmora-${size}.png
        DESTINATION ${VELMORA_ICON_DIR}/${size}x${size}/apps RENAME velmora.png)
endforeach()
install(FILES ${VELMORA_RES_DIR}/velmora.svg DESTINATION ${VELMORA_ICON_DIR}/scalable/apps)
install(FILES ${VELMORA_RES_DIR}/velmora.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${VELMORA_PKG_DIR}/man/velmora.1.gz ${VELMORA_PKG_DIR}/man/velmora-replay.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${VELMORA_RES_DIR}/deb/copyright ${VELMORA_PKG_DIR}/doc/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velmora)

# Debian package: cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Tarn Software")
set(CPACK_PACKAGE_CONTACT "Tarn Software <support@tarnsoftware.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "replay pcap captures onto an Ethernet adapter")
set(CPACK_PACKAGE_DESCRIPTION
    "Velmora resends the packets of a pcap capture file onto a chosen Ethernet\n"
    "adapter, either the single packet at a given offset or all of them, back to\n"
    "back. It is meant for BACnet frames carried directly in Ethernet.\n"
    "The command velmora-replay does the same for scripts and test rigs,\n"
    "without a display.\n"
    "\n"
    "Members of the group velmora may send raw frames on any adapter, and hear\n"
    "the BACnet frames arriving on the adapter being sent on: the program and\n"
    "the command are installed for them with the capability CAP_NET_RAW, which\n"
    "they drop at start once their send socket and their BACnet-only listening\n"
    "socket are open. The group grants neither reading other traffic nor\n"
    "changing the network.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://www.tarnsoftware.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap and groupadd run in postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${VELMORA_RES_DIR}/deb/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
