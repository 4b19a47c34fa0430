# Installation and packages. Included at the end of the top-level
# CMakeLists.txt, once every target exists.
#
# Everything the bridge needs sits in one folder: pyrel2 loads ZelkHID from
# its own folder, the library reads DeviceInfo.ini beside the host program,
# and the child starts in the program's folder. Components:
#   runtime  the folder (program, library, DeviceInfo.ini, probe, READMEs;
#            on Linux also pyrel.jar and the udev rule under udev/)
#   udev     Linux: the udev rule in the system's rules folder
# `cmake --install <build>` installs both; the packages hold the folder only.
#
# Packages (cpack --config <build>/CPackConfig.cmake, or the target "package"):
#   win32 preset: pyrel2-<version>-win32.zip
#   linux preset: pyrel2-<version>-linux-x86_64.tar.gz

set(PYREL_VERSION 0.1.0)

if(NOT WIN32 AND CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/pyrel2 CACHE PATH "Install folder" FORCE)
endif()
if(NOT WIN32)
  set(PYREL_UDEV_RULES_DIR /etc/udev/rules.d CACHE PATH
      "Where cmake --install puts the thermometer's udev rule (empty: nowhere)")
endif()

set(pyrel_package_dir ${CMAKE_CURRENT_LIST_DIR})

if(TARGET pyrel2)
  install(TARGETS pyrel2 RUNTIME DESTINATION . COMPONENT runtime)
endif()
foreach(library IN ITEMS zelkhid_win32 zelkhid_linux)
  if(TARGET ${library})
    # The Windows import library is of no use beside the program.
    install(TARGETS ${library}
            RUNTIME DESTINATION . COMPONENT runtime
            LIBRARY DESTINATION . COMPONENT runtime
            ARCHIVE DESTINATION lib COMPONENT sdk EXCLUDE_FROM_ALL)
  endif()
endforeach()
if(TARGET zelkhid_probe)
  install(TARGETS zelkhid_probe RUNTIME DESTINATION . COMPONENT runtime)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/transport/DeviceInfo.ini DESTINATION . COMPONENT runtime)
install(FILES ${pyrel_package_dir}/README.md DESTINATION . COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/tools/probe/README.md DESTINATION . RENAME PROBE.md
        COMPONENT runtime)

if(NOT WIN32)
  # The sample Java child, when a Java compiler built it.
  if(TARGET pyrel_jar)
    get_target_property(pyrel_jar_file pyrel_jar JAR_FILE)
    install(FILES ${pyrel_jar_file} DESTINATION . COMPONENT runtime)
  endif()
  set(pyrel_udev_rule ${pyrel_package_dir}/linux/70-zelk-thermometer.rules)
  install(FILES ${pyrel_udev_rule} DESTINATION udev COMPONENT runtime)
  if(PYREL_UDEV_RULES_DIR)
    install(FILES ${pyrel_udev_rule} DESTINATION ${PYREL_UDEV_RULES_DIR} COMPONENT udev)
  endif()
endif()

set(CPACK_PACKAGE_NAME pyrel2)
set(CPACK_PACKAGE_VENDOR pyrel2)
set(CPACK_PACKAGE_VERSION ${PYREL_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Bridge between a USB infrared thermometer and a Java application")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PYREL_VERSION}-${CPACK_SYSTEM_NAME})
# The folder only: the system's udev folder is for `cmake --install`.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};pyrel2;runtime;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
