# The Debian package: the gateway, the SMSC simulator and the load generator
# in /usr/bin, the systemd unit, and maintainer scripts that create the
# service's user and working directory. Built by scripts/package.sh.
install(TARGETS quorvex quorvex-smsc-sim quorvex-loadgen RUNTIME DESTINATION bin)
# Installing builds nothing itself: scripts/package.sh builds these three
# first, so a package build skips the benchmarks.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorvex.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/quorvex)

# The version: the project's, then the source revision the banner shows.
execute_process(
  COMMAND git -C "${PROJECT_SOURCE_DIR}" rev-parse --short=7 HEAD
  OUTPUT_VARIABLE QUORVEX_REVISION
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE revisionResult
  ERROR_QUIET)
if(NOT revisionResult EQUAL 0 OR QUORVEX_REVISION STREQUAL "")
  set(QUORVEX_REVISION "0000000")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvex)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}+g${QUORVEX_REVISION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Quorvex developers <quorvex@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SMPP 3.4 routing gateway and load balancer")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Library dependencies come from dpkg-shlibdeps; adduser runs in postinst.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
