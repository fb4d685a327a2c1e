# The Debian packages: `cpack -G DEB` in a build directory packs what the install rules install,
# by component: "quorvane" gets the broker and its tools, "libkelm-dev" the runtime library for
# other programs. Configure that build for the system's own places, e.g.
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr \
#         -DQUORVANE_SYSTEMD_UNIT_DIR=/lib/systemd/system -DQUORVANE_TESTS=OFF -DQUORVANE_BENCH=OFF
set(CPACK_PACKAGE_VENDOR quorvane)
set(CPACK_PACKAGE_CONTACT "quorvane maintainers <root@localhost>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_QUORVANE_PACKAGE_NAME quorvane)
set(CPACK_DEBIAN_QUORVANE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_QUORVANE_DESCRIPTION "ZeroMQ message broker run as a systemd service
Binds a PULL socket on its input endpoint and a PUB socket on its output endpoint and
republishes every frame that arrives on the input to the subscribers of the output.")
# The shared libraries the installed programs link, found by dpkg-shlibdeps.
set(CPACK_DEBIAN_QUORVANE_PACKAGE_SHLIBDEPS ON)
# dpkg keeps an edited configuration across upgrades, or asks.
set(quorvane_conffiles ${CMAKE_BINARY_DIR}/packaging/conffiles)
file(WRITE ${quorvane_conffiles} "${QUORVANE_CONFIG_DIR}/quorvane.json\n")
set(CPACK_DEBIAN_QUORVANE_PACKAGE_CONTROL_EXTRA ${quorvane_conffiles})

set(CPACK_DEBIAN_LIBKELM_DEV_PACKAGE_NAME libkelm-dev)
set(CPACK_DEBIAN_LIBKELM_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBKELM_DEV_DESCRIPTION "quorvane's runtime library for C++17 programs
Events loops, logging, timers, ZeroMQ, TCP, UDP, Redis and HTTP clients, and a JSON
configuration reader, as static libraries with their headers, a CMake package
(find_package(kelm)) and pkg-config files (kelm-core, kelm-config).")
# Users compile against these libraries' headers and link their shared libraries.
set(CPACK_DEBIAN_LIBKELM_DEV_PACKAGE_DEPENDS
    "libboost1.81-dev, libzmq3-dev, cppzmq-dev, libhiredis-dev, libcurl4-openssl-dev | libcurl-dev, libjsoncpp-dev, pkg-config")

include(CPack)
cpack_add_component_group(quorvane)
cpack_add_component_group(libkelm_dev)
cpack_add_component(broker GROUP quorvane)
cpack_add_component(tools GROUP quorvane)
cpack_add_component(dev GROUP libkelm_dev)
