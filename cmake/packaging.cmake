# Packages, made by cpack from what the install rules put in place (cmake --workflow --preset
# deb, or zip):
#   Linux:   vantoly_<version>_<arch>.deb, binary package vantoly, installed under /usr: vantoly,
#            vantoly-convert, the desktop entry, the AppStream data, the icons, the help page, the
#            manual pages, the copyright file and the changelog.
#            Its dependencies are the shared libraries the programs link, as dpkg-shlibdeps
#            (Debian: dpkg-dev) finds them.
#   Windows: vantoly-<version>-win64.zip from the MinGW build: vantoly.exe (it needs no DLLs
#            beside it) and its help page.
set(CPACK_PACKAGE_NAME vantoly)
set(CPACK_PACKAGE_VENDOR "Vantoly developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Converts the clipboard's picture to gray levels, 16 colours or black and white")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://vantoly.example.org/")
set(CPACK_PACKAGE_CONTACT "Vantoly developers <vantoly@example.org>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vantoly-${PROJECT_VERSION}-win64)
  # Unpacks into a folder of its own.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # vantoly_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Native Wayland windows, and a Japanese Gothic for the dialog's font; xclip for the
  # command line's clipboard pipeline.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, fonts-ipafont-gothic | fonts-japanese-gothic")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS xclip)
  # Below the summary line; cpack indents it and marks the empty line. Lines stay under 80
  # columns, as dpkg and apt show them.
  set(CPACK_PACKAGE_DESCRIPTION
      "Vantoly takes the picture on the clipboard, converts it in one of eight
modes (16 or 256 gray levels, the 16 standard colours, or black and white
by threshold, ordered dither or error diffusion) and puts the result back
in its place, ready to paste.

This package holds the desktop program, vantoly, and vantoly-convert,
which converts BMP and PNG files the same way from the command line.")
  # What Debian asks of every package: the copyright in its machine-readable form, and the
  # changelog, in Debian's form for a package without a separate upstream.
  install(FILES ${PROJECT_SOURCE_DIR}/res/debian/copyright DESTINATION share/doc/vantoly)
  set(changelog ${CMAKE_BINARY_DIR}/debian/changelog)
  add_custom_command(OUTPUT ${changelog}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/res/debian/changelog ${changelog}
    COMMAND gzip -9 -n -f ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/res/debian/changelog VERBATIM)
  add_custom_target(vantoly_changelog ALL DEPENDS ${changelog}.gz)
  install(FILES ${changelog}.gz DESTINATION share/doc/vantoly)
  # The desktop program's help page, listed for documentation browsers.
  if(TARGET vantoly)
    install(FILES ${PROJECT_SOURCE_DIR}/res/debian/doc-base DESTINATION share/doc-base
            RENAME vantoly)
  endif()
endif()

include(CPack)
