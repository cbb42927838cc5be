# Debian package: `cpack` in the build tree; armhf through the toolchain file.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pgnclock)
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_CONTACT "pgnclock maintainers <pgnclock@orvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "sets the system clock from SAE J1939 time/date frames on CAN")
set(CPACK_PACKAGE_DESCRIPTION
    "pgnclock listens on every CAN interface for the J1939 time/date frames
that another node broadcasts, and sets the system clock when it has drifted
too far from them. Any node on the bus can set the clock: the bus is trusted.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
include(CPack)
