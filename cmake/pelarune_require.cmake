# pelarune_require(<name> <debian package> [HEADER <header>] [LIBRARY <library>])
#
# Finds a system library the build needs, or stops with a message naming the Debian package
# to install: CMake's own "Could not find ..." does not say. scripts/bootstrap.sh installs the
# packages named in these calls, so adding a library is one call here.
# Without HEADER and LIBRARY, <name> is a CMake package, found with find_package(<name>) and
# bringing its own targets (ZLIB::ZLIB, GTest::gtest, BZip2::BZip2). With them, the header's
# directory and the library are looked up directly and offered as the target pelarune::<name>,
# whose include directory counts as a system one (its headers' warnings do not fail the build).
macro(pelarune_require name package)
  cmake_parse_arguments(_pelarune_require "" "HEADER;LIBRARY" "" ${ARGN})
  set(_pelarune_require_missing "")
  if(NOT _pelarune_require_HEADER AND NOT _pelarune_require_LIBRARY)
    find_package(${name} QUIET)
    if(NOT ${name}_FOUND)
      set(_pelarune_require_missing "${name} (CMake package)")
    endif()
  else()
    if(_pelarune_require_HEADER)
      find_path(PELARUNE_${name}_INCLUDE_DIR ${_pelarune_require_HEADER})
      if(NOT PELARUNE_${name}_INCLUDE_DIR)
        set(_pelarune_require_missing "${name} (header ${_pelarune_require_HEADER})")
      endif()
    endif()
    if(_pelarune_require_LIBRARY)
      find_library(PELARUNE_${name}_LIBRARY ${_pelarune_require_LIBRARY})
      if(NOT PELARUNE_${name}_LIBRARY AND NOT _pelarune_require_missing)
        set(_pelarune_require_missing "${name} (library ${_pelarune_require_LIBRARY})")
      endif()
    endif()
    if(NOT _pelarune_require_missing AND NOT TARGET pelarune::${name})
      add_library(pelarune::${name} INTERFACE IMPORTED)
      if(_pelarune_require_HEADER)
        target_include_directories(pelarune::${name} INTERFACE ${PELARUNE_${name}_INCLUDE_DIR})
      endif()
      if(_pelarune_require_LIBRARY)
        target_link_libraries(pelarune::${name} INTERFACE ${PELARUNE_${name}_LIBRARY})
      endif()
    endif()
  endif()
  if(_pelarune_require_missing)
    message(FATAL_ERROR "${_pelarune_require_missing} was not found. It comes with the Debian "
      "package ${package}; install it and build again:\n    sudo apt-get install ${package}\n")
  endif()
endmacro()
