# What `cmake --install` puts under the prefix, and the Debian package `cpack -G DEB` makes of
# it: the two programs, their manual pages, bash completion, the README and the license.
include(GNUInstallDirs)

foreach(page kelvarin.1 kvrtool.1)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

install(TARGETS kelvarin kvrtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# bash-completion loads a program's script by the program's name, when it is first completed.
install(FILES ${PROJECT_BINARY_DIR}/completion/kelvarin ${PROJECT_BINARY_DIR}/completion/kvrtool
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Named as Debian expects it; the same text as LICENSE.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

set(CPACK_PACKAGE_NAME kelvarin)
set(CPACK_PACKAGE_VENDOR "The KELVARIN authors")
set(CPACK_PACKAGE_CONTACT "The KELVARIN authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "kelvarin converts digitised cassette recordings (WAV, CSW, VOC, FLAC and
other sound files) of an 8-bit home computer into KVR tape images, which keep
each block's bytes and timings, or TAP files. kvrtool recovers the blocks of
damaged recordings, lists images and plays them back as recordings.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The run-time libraries as dpkg-shlibdeps finds them (libsndfile1, zlib1g, the C and C++
# libraries, with the versions this build needs); without dpkg-dev, the two that matter.
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsndfile1, zlib1g")
endif()
include(CPack)
