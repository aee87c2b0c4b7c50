# One Debian package with both programs; dpkg-shlibdeps declares what they link.
set(CPACK_PACKAGE_NAME qks970-recovery)
set(CPACK_PACKAGE_VENDOR "qks970-recovery developers")
set(CPACK_PACKAGE_CONTACT "qks970-recovery developers <dev@qks970.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware recovery for Tavrel QKS970/958 USB storage bridges")
# The summary is the synopsis; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Writes the firmware of a Tavrel QKS970/958 USB storage bridge back when the
enclosure no longer works, from a window (qks970-recovery) or the command
line (qks970), and works the engineering panel of the older Tavrel bridges.
A udev rule gives the user at the seat and the group plugdev access to the
bridge; the maker's firmware images go in /usr/share/qks970-recovery/images.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sg3-utils")
# The udev rule is reloaded on install and on removal.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

# What Debian asks of every package: a copyright file and a changelog under
# /usr/share/doc, manual pages compressed. These rules run after every other
# install rule, so the manual pages are in place to be compressed.
if(NOT WIN32)
  include(GNUInstallDirs)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
                 ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT cli)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT cli)
  install(CODE [[
    set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    file(GLOB pages "${root}/share/man/man1/*.1")
    foreach(file IN LISTS pages ITEMS "${root}/share/doc/qks970-recovery/changelog")
      if(EXISTS "${file}")
        execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
      endif()
    endforeach()
  ]] COMPONENT cli)
endif()
include(CPack)
