# `cpack` (or `cpack -G DEB`) in the build folder makes a Debian package of
# everything `cmake --install` puts below the prefix, installed below /usr:
# the libraries, the public headers, the CMake and pkg-config files, the tool,
# the udev rule and, when built, the Python module (which then lands in
# lib/python3/dist-packages, see python/CMakeLists.txt).
#
# The package's dependencies on shared libraries are computed by
# dpkg-shlibdeps (dpkg-dev); the Python module's interpreter and numpy are
# declared here.  Binaries are stripped: the package is for use, not for
# debugging.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora")
set(VELMORA_PACKAGE_MAINTAINER "Velmora developers" CACHE STRING "The Debian package's Maintainer field: NAME <ADDRESS>")
set(CPACK_PACKAGE_CONTACT "${VELMORA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Client library and tool for single-channel EEG and biosignal headsets on serial links")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Finds the headset's serial port, frames and decodes its packets, detects blinks and heart beats, "
  "computes LF/HF and an energy level, and records the stream (CSV, BDF+/EDF+). Includes the velmora "
  "command-line tool with a headset simulator, the C++ headers, CMake and pkg-config files, and the "
  "velmora Python module.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What packages built against libvelmora.so.N depend on.  Written here rather
# than generated, since cpack would also look for a version in the Python
# extension module, which has none.
file(WRITE ${PROJECT_BINARY_DIR}/deb/shlibs
  "libvelmora ${PROJECT_VERSION_MAJOR} velmora (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/shlibs)
if(TARGET velmora_python)
  # The extension module is built for one interpreter version: X.Y, below X.Y+1.
  execute_process(COMMAND ${Python3_EXECUTABLE} -c "import sys; print(*sys.version_info[:2])"
    OUTPUT_VARIABLE velmora_python_version OUTPUT_STRIP_TRAILING_WHITESPACE)
  separate_arguments(velmora_python_version)
  list(GET velmora_python_version 0 major)
  list(GET velmora_python_version 1 minor)
  math(EXPR next_minor "${minor} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3 (>= ${major}.${minor}), python3 (<< ${major}.${next_minor}), python3-numpy")
endif()
include(CPack)

if(VELMORA_BUILD_TESTS)
  add_test(NAME install.deb COMMAND ${PROJECT_SOURCE_DIR}/tests/install/deb.sh
    ${PROJECT_BINARY_DIR} "${velmora_header_words}" $<TARGET_EXISTS:velmora_python>)
  set_tests_properties(install.deb PROPERTIES TIMEOUT 300 RESOURCE_LOCK velmora_install_manifest)
endif()
