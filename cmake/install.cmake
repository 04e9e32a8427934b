# The C++ core as an installable CMake package, for C++ robotics code that
# wants the driver without Python:
#   find_package(jointbus REQUIRED)
#   target_link_libraries(app PRIVATE jointbus::core)
# Headers go under include/jointbus/ and are included as
# <jointbus/damiao/driver.hpp>, <jointbus/transport/socketcan_backend.hpp>...

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(JOINTBUS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/jointbus)

set_target_properties(jointbus_core PROPERTIES EXPORT_NAME core)
# Inside the package the headers include each other as "damiao/mit.hpp", so
# include/jointbus is on the path too.
target_include_directories(jointbus_core PUBLIC
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/jointbus>)

install(TARGETS jointbus_core EXPORT jointbusTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY src/transport src/damiao src/log
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/jointbus
  FILES_MATCHING PATTERN "*.hpp")
install(EXPORT jointbusTargets NAMESPACE jointbus:: DESTINATION ${JOINTBUS_CMAKE_DIR})

configure_package_config_file(cmake/jointbusConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/jointbusConfig.cmake
  INSTALL_DESTINATION ${JOINTBUS_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/jointbusConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/jointbusConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/jointbusConfigVersion.cmake
  DESTINATION ${JOINTBUS_CMAKE_DIR})
