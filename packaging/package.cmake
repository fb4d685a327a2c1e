# The Debian package: `cpack -G DEB` in a build directory packs whatever the project's install
# rules install. Configure that build for the system's own places, e.g.
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr \
#         -DQUORVANE_SYSTEMD_UNIT_DIR=/lib/systemd/system -DQUORVANE_TESTS=OFF -DQUORVANE_BENCH=OFF
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR quorvane)
set(CPACK_PACKAGE_CONTACT "quorvane maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZeroMQ message broker run as a systemd service")
set(CPACK_PACKAGE_DESCRIPTION
    "Binds a PULL socket on its input endpoint and a PUB socket on its output endpoint and republishes every frame that arrives on the input to the subscribers of the output.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_STRIP_FILES ON)
# The shared libraries the installed programs link, found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg keeps an edited configuration across upgrades, or asks.
set(quorvane_conffiles ${CMAKE_BINARY_DIR}/packaging/conffiles)
file(WRITE ${quorvane_conffiles} "${QUORVANE_CONFIG_DIR}/quorvane.json\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${quorvane_conffiles})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
