# The Debian package, made by "cpack -G DEB" in a build folder: the three programs with what
# "cmake --install" puts beside them. Its version is the project's; its library dependencies
# are read off the binaries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME twinslim)
set(CPACK_PACKAGE_VENDOR "Twinslim")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "replace RAW+JPEG pairs with small HEIC or JPEG files")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # twinslim_VERSION_amd64.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Twinslim developers <dev@twinslim.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds its display plugins at run time, so no library dependency names them: without
# them the window cannot open.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The extended description; CPack puts the summary above it, indents it and marks the empty
# line between paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Twinslim finds RAW+JPEG pairs in a photo library, backs the originals up
to a folder of your choice and replaces each chosen pair by a small HEIC
or JPEG rendition, keeping its capture date, location, favourite flag and
albums. Every replaced pair can be restored.

The package holds three programs sharing one photo library: twinslim, the
desktop application; twinslim-cli, the same workflow without a window; and
photolib, the photo library's own command-line application. Besides its own
catalogue libraries they work on folders of camera files and on the
libraries of darktable, digiKam and Shotwell.")
include(CPack)
