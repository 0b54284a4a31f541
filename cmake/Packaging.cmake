# Debian packages, built by scripts/package:
#   tarnwick           the tool, its manual page, README, bash completion and the firmware images
#   tarnwick-emulator  the module emulator, for integrators' tests
# Everything is installed by components so that one cpack run makes both packages.

# The program looks for its firmware at this absolute path, whatever the install prefix.
set(TARNWICK_FIRMWARE_DIR /usr/share/velmora/tarnwick)
set(TARNWICK_FIRMWARE_IMAGES
    serialapi_controller_bridge_ZM5304_EU_v6_81_01.hex
    serialapi_controller_static_ZM5304_EU_v6_71_01.hex
    serialapi_controller_static_ZM5304_EU_v6_61_00.hex)
set(TARNWICK_MAINTAINER "tarnwick developers <tarnwick@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")

# Images are not in the repository; ship the ones present in firmware/, and the directory always.
install(DIRECTORY DESTINATION ${TARNWICK_FIRMWARE_DIR} COMPONENT tool)
foreach(image IN LISTS TARNWICK_FIRMWARE_IMAGES)
  if(EXISTS ${CMAKE_SOURCE_DIR}/firmware/${image})
    install(FILES ${CMAKE_SOURCE_DIR}/firmware/${image} DESTINATION ${TARNWICK_FIRMWARE_DIR}
            PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT tool)
  else()
    message(STATUS "Firmware image not in firmware/, not installed: ${image}")
  endif()
endforeach()

# Compressed documentation (gzip -n keeps the archives reproducible).
set(TARNWICK_DOC_OUT ${CMAKE_BINARY_DIR}/doc)
file(MAKE_DIRECTORY ${TARNWICK_DOC_OUT})
function(tarnwick_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${source} ${output}
    DEPENDS ${source} VERBATIM)
endfunction()

tarnwick_gzip(${CMAKE_SOURCE_DIR}/doc/tarnwick.1 ${TARNWICK_DOC_OUT}/tarnwick.1.gz)
set(TARNWICK_DOC_FILES ${TARNWICK_DOC_OUT}/tarnwick.1.gz)
foreach(PACKAGE tarnwick tarnwick-emulator)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${TARNWICK_DOC_OUT}/${PACKAGE}/changelog @ONLY)
  tarnwick_gzip(${TARNWICK_DOC_OUT}/${PACKAGE}/changelog ${TARNWICK_DOC_OUT}/${PACKAGE}/changelog.gz)
  list(APPEND TARNWICK_DOC_FILES ${TARNWICK_DOC_OUT}/${PACKAGE}/changelog.gz)
endforeach()
add_custom_target(tarnwick-doc ALL DEPENDS ${TARNWICK_DOC_FILES})

install(FILES ${TARNWICK_DOC_OUT}/tarnwick.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
install(FILES ${CMAKE_SOURCE_DIR}/doc/tarnwick.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME tarnwick
        COMPONENT tool)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick
        RENAME copyright COMPONENT tool)
install(FILES ${TARNWICK_DOC_OUT}/tarnwick/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick COMPONENT tool)
# The manual page's SEE ALSO names it: wiring, troubleshooting, what the tests cover.
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick
        COMPONENT tool)

# A stripped package binary keeps the compilers' .comment notes unless they are dropped as well.
function(tarnwick_drop_comment program component)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
endif()" COMPONENT ${component})
endfunction()
tarnwick_drop_comment(tarnwick tool)

set(CPACK_COMPONENTS_ALL tool)

# A cross build for a gateway holds no emulator: the tool alone is packaged then.
if(TARGET tarnwick-emu)
  install(TARGETS tarnwick-emu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT emulator)
  tarnwick_drop_comment(tarnwick-emu emulator)
  if(EXISTS ${CMAKE_SOURCE_DIR}/emulator/tarnwick-emu.1)
    tarnwick_gzip(${CMAKE_SOURCE_DIR}/emulator/tarnwick-emu.1 ${TARNWICK_DOC_OUT}/tarnwick-emu.1.gz)
    add_custom_target(tarnwick-emu-doc ALL DEPENDS ${TARNWICK_DOC_OUT}/tarnwick-emu.1.gz)
    install(FILES ${TARNWICK_DOC_OUT}/tarnwick-emu.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            COMPONENT emulator)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick-emulator RENAME copyright
          COMPONENT emulator)
  install(FILES ${TARNWICK_DOC_OUT}/tarnwick-emulator/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick-emulator COMPONENT emulator)
  if(EXISTS ${CMAKE_SOURCE_DIR}/emulator/README.md)
    install(FILES ${CMAKE_SOURCE_DIR}/emulator/README.md
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick-emulator COMPONENT emulator)
  endif()
  list(APPEND CPACK_COMPONENTS_ALL emulator)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR "the tarnwick developers")
set(CPACK_PACKAGE_CONTACT "${TARNWICK_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARNWICK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING)
  if(NOT TARNWICK_DEBIAN_ARCHITECTURE OR NOT TARNWICK_GNU_TRIPLET)
    message(FATAL_ERROR "A cross build needs a toolchain file from cmake/toolchain/")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TARNWICK_DEBIAN_ARCHITECTURE})
  # CPack's own dpkg-shlibdeps run would look for the host's libraries; CrossDepends does it with
  # the cross sysroot's when cpack runs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  file(READ ${CMAKE_CURRENT_LIST_DIR}/CrossDepends.cmake.in depends_script)
  string(CONFIGURE "${depends_script}" depends_script @ONLY)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/CrossDepends.cmake CONTENT "${depends_script}")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CrossDepends.cmake)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME tarnwick)
set(CPACK_DEBIAN_TOOL_PACKAGE_SUGGESTS "tarnwick-emulator")
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "maintenance tool for a ZM5304 Z-Wave controller module
Reads the firmware version of a Z-Wave controller module wired to a serial
tty and a GPIO reset line, backs up, erases and restores its NVM over the
Serial API, dumps its NVR page and flashes firmware through the module's
UART programming interface. It also migrates a static-controller module to
the bridge-controller firmware while keeping its network.")

set(CPACK_DEBIAN_EMULATOR_PACKAGE_NAME tarnwick-emulator)
set(CPACK_DEBIAN_EMULATOR_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_EMULATOR_PACKAGE_RECOMMENDS fuse3)
set(CPACK_COMPONENT_EMULATOR_DESCRIPTION
    "emulator of a ZM5304 Z-Wave controller module, for tests
Serves a pseudo-terminal and a fake sysfs GPIO reset line and behaves like
the module (Serial API while running, programming interface while held in
reset), so that gateway integrators can test their use of tarnwick without
hardware.")

include(CPack)
