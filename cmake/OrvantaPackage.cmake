# Installs the libraries and their headers as the CMake package `orvanta`,
# so that a host uses them with find_package(orvanta).
include(CMakePackageConfigHelpers)

set(orvanta_install_targets orvanta_contracts orvanta_robot orvanta_warnings orvanta_platform_sqlite)
foreach(t orvanta_conductor orvanta_platform_sim)
  if(TARGET ${t})
    list(APPEND orvanta_install_targets ${t})
  endif()
endforeach()

# Installed targets are named as the aliases used in this tree:
# orvanta::robot, orvanta::conductor, orvanta::platform_sim, ...
foreach(t IN LISTS orvanta_install_targets)
  string(REGEX REPLACE "^orvanta_" "" exported ${t})
  set_target_properties(${t} PROPERTIES EXPORT_NAME ${exported})
endforeach()

install(TARGETS ${orvanta_install_targets} EXPORT orvantaTargets
  LIBRARY DESTINATION lib ARCHIVE DESTINATION lib RUNTIME DESTINATION bin INCLUDES DESTINATION include)
install(DIRECTORY contracts/include/ robot/include/ platform/sqlite/include/ DESTINATION include)
install(DIRECTORY ${CMAKE_BINARY_DIR}/robot/include/ DESTINATION include)
if(TARGET orvanta_conductor)
  install(DIRECTORY conductor/include/ ${CMAKE_BINARY_DIR}/conductor/include/ DESTINATION include)
endif()
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/platform/sim/include)
  install(DIRECTORY platform/sim/include/ DESTINATION include)
endif()
install(EXPORT orvantaTargets NAMESPACE orvanta:: DESTINATION lib/cmake/orvanta)
configure_package_config_file(cmake/orvantaConfig.cmake.in ${CMAKE_BINARY_DIR}/orvantaConfig.cmake
  INSTALL_DESTINATION lib/cmake/orvanta)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/orvantaConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/orvantaConfig.cmake ${CMAKE_BINARY_DIR}/orvantaConfigVersion.cmake
  DESTINATION lib/cmake/orvanta)
