# The Debian package: `cpack -G DEB` in the build tree makes talverin-timestamp_<version>_<arch>.deb.
# Library dependencies come from dpkg-shlibdeps (package dpkg-dev), which reads them off the
# binary; without it CPack would quietly ship a package with no library dependencies.

set(TALVERIN_PACKAGE_MAINTAINER "TALVERIN Timestamp maintainers <packages@talverin.example>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talverin-timestamp)
set(CPACK_PACKAGE_VENDOR TALVERIN)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TALVERIN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Stamps the time clock when you start and end work")
# Debian wants the long description in lines of under 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "A tray agent that punches the employee's time clock by itself: an arrival"
    "stamp at login and whenever the screen is unlocked, a leaving stamp when the"
    "screen is locked, at power-off, at log-out and on quit. Stamps that cannot be"
    "delivered are kept and sent again later with their true times."
    "."
    "The machine is identified by its hardware serial number. A udev rule and a"
    "polkit rule let desktop users read it; members of the group talverin-serial"
    "may read it from any session.")

# Files are installed under /usr; the binary is stripped as Debian packages are.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Directories in the package must not inherit the umask of whoever built it.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/StagingDirectoryModes.cmake)

set(CPACK_DEBIAN_PACKAGE_NAME talverin-timestamp)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The build number is the Debian revision, so each build of one version upgrades the previous.
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TALVERIN_BUILD_NUMBER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# groupadd, for the serial-number group made by postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
# Certificates to verify the service; polkitd to honour the serial-number rule through hostnamed;
# the icon theme the icons are installed into.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates, polkitd | policykit-1, hicolor-icon-theme")
# A native Wayland window system plugin; GNOME Shell shows tray icons only with this extension.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland, gnome-shell-extension-appindicator")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/deb/postinst ${CMAKE_CURRENT_SOURCE_DIR}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/\\\\.cache/")

include(CPack)
