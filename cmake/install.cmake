# install.cmake: the header, the library, the host, a CMake package (sinewma::sinewma) with
# a version file, a relocatable pkg-config file, and cpack archives.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS sinewma EXPORT sinewmaTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS sinewma_host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/sinewma.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES src/sinewma.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

set(SWMA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/sinewma)
install(EXPORT sinewmaTargets NAMESPACE sinewma:: DESTINATION ${SWMA_CMAKE_DIR})
configure_package_config_file(cmake/sinewmaConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/sinewmaConfig.cmake INSTALL_DESTINATION ${SWMA_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/sinewmaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sinewmaConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/sinewmaConfigVersion.cmake DESTINATION ${SWMA_CMAKE_DIR})

# pkg-config: paths relative to the .pc file, so the installed tree can move.
file(RELATIVE_PATH SWMA_PC_TO_PREFIX
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
# CMake 3.25 ends a path of only ".." with a slash ("../../"), which the .pc joins to "//lib".
string(REGEX REPLACE "/+$" "" SWMA_PC_TO_PREFIX "${SWMA_PC_TO_PREFIX}")
configure_file(cmake/sinewma.pc.in ${CMAKE_CURRENT_BINARY_DIR}/sinewma.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sinewma.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME sinewma)
set(CPACK_PACKAGE_VENDOR sinewma)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sine-weighted moving average library")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
else()
  set(CPACK_GENERATOR TGZ)
  # One tarball name per architecture: x86-64 and aarch64 builds would otherwise both be -Linux.
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
endif()
include(CPack)
