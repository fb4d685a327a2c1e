# The system libraries that come with pkg-config files, each made an imported target named
# PkgConfig::<module in capitals> (libzmq gives PkgConfig::LIBZMQ). The build and the installed
# package configuration both use it, so a program links the runtime's dependencies exactly as the
# runtime itself was linked.
#
#   kelm_pkg_modules(<variable> <module>...)
#
# sets <variable> to the modules that were not found, empty when all were.
function(kelm_pkg_modules _missing)
  find_package(PkgConfig QUIET)
  set(missing)
  foreach(module IN LISTS ARGN)
    string(TOUPPER ${module} prefix)
    # The targets are local to a directory: a second look-up in the same one has nothing to do.
    if(TARGET PkgConfig::${prefix})
      continue()
    endif()
    if(PKG_CONFIG_FOUND)
      pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
    endif()
    if(NOT ${prefix}_FOUND)
      list(APPEND missing ${module})
    endif()
  endforeach()
  set(${_missing} ${missing} PARENT_SCOPE)
endfunction()
