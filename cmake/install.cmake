# Installation: the header, libkel32.so with its soname links, the kelmail
# program, a pkg-config file and a CMake package with an exported target.
#
#   cmake --install build --prefix /usr/local
#   cc app.c $(pkg-config --cflags --libs kel32)
#   find_package(kel32 3.4 REQUIRED) ... target_link_libraries(app PRIVATE kel32::kel32)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS kel32 EXPORT kel32Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kel32.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# kelmail is defined after this file is read; tools/CMakeLists.txt installs
# it into ${CMAKE_INSTALL_BINDIR} (install(TARGETS) gives it its run path).

# pkg-config: paths relative to the file's own place, so that the prefix
# given to "cmake --install --prefix" (or a moved tree) is the one used.
file(RELATIVE_PATH KEL_PC_UP "/top/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/top")
string(REGEX REPLACE "/$" "" KEL_PC_UP "${KEL_PC_UP}")
set(KEL_PC_FILE ${CMAKE_CURRENT_BINARY_DIR}/kel32.pc)
file(GENERATE OUTPUT ${KEL_PC_FILE} CONTENT
"prefix=\${pcfiledir}/${KEL_PC_UP}
exec_prefix=\${prefix}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: kel32
Description: KEL32 e-mail client library (SMTP send with MIME attachments, POP3 read)
Version: ${PROJECT_VERSION}
Libs: -L\${libdir} -lkel32
Cflags: -I\${includedir}
")
install(FILES ${KEL_PC_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# CMake package: kel32Config.cmake, its version file and the exported target kel32::kel32.
set(KEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kel32)
install(EXPORT kel32Targets NAMESPACE kel32:: DESTINATION ${KEL_CMAKE_DIR})
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/kel32Config.cmake.in
"@PACKAGE_INIT@
include(\"\${CMAKE_CURRENT_LIST_DIR}/kel32Targets.cmake\")
check_required_components(kel32)
")
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/kel32Config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kel32Config.cmake INSTALL_DESTINATION ${KEL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kel32ConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kel32Config.cmake ${CMAKE_CURRENT_BINARY_DIR}/kel32ConfigVersion.cmake
  DESTINATION ${KEL_CMAKE_DIR})
