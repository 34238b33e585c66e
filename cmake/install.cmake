# What `cmake --install` puts in place: the header, the library (with its SONAME links on Linux,
# its import libraries for GCC and MSVC on Windows), a CMake package config, a pkg-config file
# and the host.
include(CMakePackageConfigHelpers)

install(TARGETS RovireZevaDe EXPORT RovireZevaDeTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/RovireZevaDe.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET RovireZevaDe_msvc_lib)
  install(FILES ${RZ_MSVC_IMPORT_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

set(RZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/RovireZevaDe)
install(EXPORT RovireZevaDeTargets NAMESPACE RovireZevaDe:: DESTINATION ${RZ_CMAKE_DIR})
configure_package_config_file(cmake/RovireZevaDeConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/RovireZevaDeConfig.cmake
                              INSTALL_DESTINATION ${RZ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/RovireZevaDeConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/RovireZevaDeConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/RovireZevaDeConfigVersion.cmake
        DESTINATION ${RZ_CMAKE_DIR})

if(NOT WIN32)
  # The prefix is found from the .pc file's own place, so `cmake --install --prefix DIR` (or a
  # moved installation) needs no reconfiguring: one ".." per folder of <libdir>/pkgconfig.
  set(RZ_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    message(FATAL_ERROR "RovireZevaDe.pc needs CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR "
                        "relative to the prefix")
  endif()
  file(RELATIVE_PATH RZ_PC_TO_PREFIX /prefix/${RZ_PC_DIR} /prefix)
  string(REGEX REPLACE "/$" "" RZ_PC_TO_PREFIX "${RZ_PC_TO_PREFIX}")
  set(RZ_PC_PREFIX "\${pcfiledir}/${RZ_PC_TO_PREFIX}")
  configure_file(cmake/RovireZevaDe.pc.in ${CMAKE_CURRENT_BINARY_DIR}/RovireZevaDe.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/RovireZevaDe.pc DESTINATION ${RZ_PC_DIR})
endif()

if(RZ_BUILD_TOOLS)
  install(TARGETS razara RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(RZ_BUILD_TOOLS AND NOT WIN32)
  # Installed, the host finds the library in ../lib; in the build tree it sits beside it.
  set_target_properties(razara PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()
