# The runtime as a library for other projects: static archives, headers, a CMake package
# (find_package(kelm)) and pkg-config files, all in the install component "dev".
include(CMakePackageConfigHelpers)

set(KELM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelm)
set(KELM_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(EXPORT kelm NAMESPACE kelm:: FILE kelmTargets.cmake DESTINATION ${KELM_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kelmConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/packaging/kelmConfig.cmake
                              INSTALL_DESTINATION ${KELM_CMAKE_DIR}
                              PATH_VARS KELM_INSTALL_INCLUDEDIR)
# The API is not stable across major versions; within one, a newer library serves older users.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/kelmConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/kelmConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/kelmConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/kelm_pkg_modules.cmake
        DESTINATION ${KELM_CMAKE_DIR} COMPONENT dev)

# The .pc files find the prefix from where they lie, like the CMake package does.
file(RELATIVE_PATH KELM_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
foreach(name kelm-core kelm-config)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${name}.pc.in ${CMAKE_BINARY_DIR}/packaging/${name}.pc
                 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${name}.pc DESTINATION ${KELM_PKGCONFIG_DIR}
          COMPONENT dev)
endforeach()

# A stripped install (cmake --install --strip, and the Debian package) leaves the archives' symbols
# alone, as they must, but drops their debugging sections, which are most of their size.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(archive kelm_core kelm_http kelm_redis kelm_asio_zmq kelm_config)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/lib\${archive}.a\"
        COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()" COMPONENT dev)
