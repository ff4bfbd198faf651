# The portable Linux edition's .deb, made by CPack (scripts/build-linux): the program in
# lib/quartz-meridian, its three files in share/quartz-meridian, and on the PATH a command that
# starts it from there, since it reads them from its working directory. Its version is the
# project's; dpkg-shlibdeps fills Depends from the libraries the binary names.

include(GNUInstallDirs)
file(STRINGS "${CMAKE_BINARY_DIR}/assets.txt" qm_assets)
list(TRANSFORM qm_assets PREPEND "${CMAKE_BINARY_DIR}/")
set(qm_linux "${PROJECT_SOURCE_DIR}/packaging/linux")
set(qm_doc "${CMAKE_INSTALL_DATAROOTDIR}/doc/quartz-meridian")

install(TARGETS quartz-meridian DESTINATION lib/quartz-meridian)
install(FILES ${qm_assets} DESTINATION share/quartz-meridian)
install(PROGRAMS "${qm_linux}/quartz-meridian" DESTINATION bin)
install(FILES "${qm_linux}/quartz-meridian.desktop" DESTINATION share/applications)
install(FILES "${qm_linux}/quartz-meridian.svg" DESTINATION share/icons/hicolor/scalable/apps)
install(FILES "${qm_linux}/README.txt" DESTINATION ${qm_doc})
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION ${qm_doc} RENAME copyright)
# The libraries' licences, and the sources that let a user relink libmpg123 (LGPL 2.1), which
# build-linux packs into the build folder before calling cpack.
install(DIRECTORY "${QM_LINUX_DEPS}/licenses/" DESTINATION ${qm_doc}/licenses)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/source.txt" DESTINATION ${qm_doc}/licenses)
install(DIRECTORY "${CMAKE_BINARY_DIR}/source" DESTINATION ${qm_doc} OPTIONAL)

set(CPACK_PACKAGE_NAME quartz-meridian)
set(CPACK_PACKAGE_VENDOR "Quartz Meridian")
set(CPACK_PACKAGE_CONTACT "Quartz Meridian <quartz-meridian@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "real-time audiovisual presentation (flashing lights)")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
              "Plays a 35-second track and draws an abstract animation in step with it, "
              "full-screen at 640x480 with OpenGL 3.3. It contains rapidly flashing lights.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# SDL loads a sound server's or ALSA's library when it runs; Debian 13 renamed ALSA's.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libpulse0 | libasound2t64 | libasound2")
include(CPack)
