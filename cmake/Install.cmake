# What `cmake --install` puts below the prefix: the shared and static
# libraries, the public headers under include/Velmora/, the CMake package
# (found as Velmora or velmora), a pkg-config file, the tool and the udev
# rule.  Every destination is relative, so the prefix given at install time
# holds, and the installed tree can be moved as a whole: the CMake package
# and the pkg-config file find their prefix from where they lie.

# The headers a host needs, relative to Velmora/: the public classes and
# their delegates, the value types, the process-wide values with the type of
# `lock`, the run loop and main queue a host drives, the notification centre,
# the device registry and device folder a host may configure, and the log
# sink.  The rest of Velmora/ is internal and stays out of the install.
set(VELMORA_PUBLIC_HEADERS
  Velmora.h Globals.h Value.h
  VelmoraObjC.h VelmoraStreamListener.h VelmoraStreamLog.h VelmoraKeys.h VelmoraEdfRecorder.h
  VLBlink.h VLHrv.h VLHrvStandard.h
  ZPRSerialPort.h ZPRSerialPortDelegate.h ZPRSerialPortError.h ZPRSerialRequest.h
  ZPRSerialPortManager.h
  platform/DeviceFolder.h platform/DeviceRegistry.h platform/Log.h platform/MainQueue.h
  platform/NotificationCenter.h platform/Observable.h platform/RunLoop.h
  platform/SwappableMutex.h)
foreach(header ${VELMORA_PUBLIC_HEADERS})
  get_filename_component(subdir ${header} DIRECTORY)
  install(FILES Velmora/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/Velmora/${subdir})
endforeach()

# The public headers need C++20; users of the exported targets get it too.
target_compile_features(velmora PUBLIC cxx_std_20)
target_compile_features(velmora_static PUBLIC cxx_std_20)

# ---- libraries and the CMake package
# The static library has an export set of its own: its users also link the
# libraries that the shared one hides (libudev, libsystemd, libuuid, KissFFT,
# EDFlib), and the package defines it only where their development files are
# present, so that users of the shared library do not need them.
set(velmora_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora)
install(TARGETS velmora EXPORT velmoraTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS velmora_static EXPORT velmoraStaticTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT velmoraTargets NAMESPACE velmora:: FILE velmora-targets.cmake DESTINATION ${velmora_cmake_dir})
install(EXPORT velmoraStaticTargets NAMESPACE velmora:: FILE velmora-static-targets.cmake
  DESTINATION ${velmora_cmake_dir})
# find_package() takes "velmora-config.cmake" for either spelling of the
# name, Velmora or velmora, and matches the folder's name in any case.
configure_package_config_file(cmake/velmora-config.cmake.in ${PROJECT_BINARY_DIR}/velmora-config.cmake
  INSTALL_DESTINATION ${velmora_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velmora-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velmora-config.cmake ${PROJECT_BINARY_DIR}/velmora-config-version.cmake
  DESTINATION ${velmora_cmake_dir})

# ---- pkg-config: the prefix is found from the file's own folder.
file(RELATIVE_PATH velmora_pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" velmora_pc_to_prefix "${velmora_pc_to_prefix}")
configure_file(cmake/velmora.pc.in ${PROJECT_BINARY_DIR}/velmora.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velmora.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- the tool and the udev rule that names a headset's port (README: "A
# real headset on Linux").  A relative folder lies below the prefix; an
# absolute one is taken as it is.
install(TARGETS velmora_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(VELMORA_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
  "Where the udev rule is installed: a folder below the install prefix, or an absolute path")
# Build trees configured before kept the prefix of that time here, which put
# the rule outside any other prefix given at install time.
if(VELMORA_UDEV_RULES_DIR STREQUAL "${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d")
  set_property(CACHE VELMORA_UDEV_RULES_DIR PROPERTY VALUE lib/udev/rules.d)
endif()
install(FILES udev/70-velmora.rules DESTINATION ${VELMORA_UDEV_RULES_DIR})

if(VELMORA_BUILD_TESTS)
  # Installs this tree, moves the installed copy and builds hosts against it.
  string(REPLACE ";" " " velmora_header_words "${VELMORA_PUBLIC_HEADERS}")
  set(velmora_consumer_flags "")
  if(VELMORA_SANITIZE)
    set(velmora_consumer_flags "-fsanitize=${VELMORA_SANITIZE}")
  endif()
  add_test(NAME install.consumer COMMAND ${PROJECT_SOURCE_DIR}/tests/install/consumer.sh
    ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_CXX_COMPILER} "${velmora_header_words}"
    "${velmora_consumer_flags}" $<$<TARGET_EXISTS:velmora_python>:${Python3_EXECUTABLE}>)
  # Compiling the hosts takes most of it; a loaded machine needs minutes.
  # Every install of the tree, cpack's too, rewrites its install_manifest.txt.
  set_tests_properties(install.consumer PROPERTIES TIMEOUT 300 RESOURCE_LOCK velmora_install_manifest)
endif()
