# Installation: headers under include/halvix/..., the library with its SONAME
# link, a CMake package (find_package(halvix)) and halvix.pc for pkg-config.
include(CMakePackageConfigHelpers)

# Public headers only: everything under halvix/ except the src/ directories
# (each module's own, and halvix/src/, the helpers the modules share).
install(DIRECTORY "${PROJECT_SOURCE_DIR}/halvix/"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/halvix"
  FILES_MATCHING PATTERN "*.h"
  PATTERN "src" EXCLUDE)

install(TARGETS halvix EXPORT halvixTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

set(HALVIX_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/halvix")
install(EXPORT halvixTargets NAMESPACE halvix:: DESTINATION "${HALVIX_CMAKE_DIR}")

configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/halvixConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/halvixConfig.cmake"
  INSTALL_DESTINATION "${HALVIX_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/halvixConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/halvixConfig.cmake" "${PROJECT_BINARY_DIR}/halvixConfigVersion.cmake"
  DESTINATION "${HALVIX_CMAKE_DIR}")

configure_file("${PROJECT_SOURCE_DIR}/cmake/halvix.pc.in" "${PROJECT_BINARY_DIR}/halvix.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/halvix.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
