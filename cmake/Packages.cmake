# Debian packages through CPack (tools/packages.sh builds them for amd64 and arm64):
#
#   libtq-core0       runtime: libtq_core.so.0 and, in the private folder its run path
#                     names (<libdir>/tq_core), the ONNX Runtime it was built against
#   libtq-core-dev    headers, the libtq_core.so link, pkg-config file, CMake package
#   tq-core-tools     the example hosts (tq_speak, tq_host, tq_offline, tq_info, tq_live)
#   python3-tq-core   the Python package, in Debian's dist-packages
#
# Versions are the project's; shared-library dependencies (FFmpeg, the C and C++
# runtimes) come from dpkg-shlibdeps, by Debian package name.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(TQ_DEB_ARCH arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(TQ_DEB_ARCH amd64)
else()
  message(FATAL_ERROR "Debian packages: no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
endif()
set(TQ_DEB_MAINTAINER "tq_core maintainers <maintainers@users.noreply.c-seed-7a709958.example>" CACHE STRING
  "Maintainer field of the Debian packages")

set(_tq_deb_packages
  runtime libtq-core0
  dev     libtq-core-dev
  tools   tq-core-tools
  python  python3-tq-core)

# Every package carries /usr/share/doc/<package>/copyright and changelog.gz and, where
# cmake/debian/<package>.lintian-overrides exists, its lintian overrides. The
# changelog's date is SOURCE_DATE_EPOCH's when set (tools/packages.sh sets the last
# commit's), so every build of one commit carries the same changelog.
string(TIMESTAMP _tq_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_tq_deb_doc "${PROJECT_BINARY_DIR}/deb-doc")
file(MAKE_DIRECTORY "${_tq_deb_doc}")
file(WRITE "${_tq_deb_doc}/changelog"
  "tq-core (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}.\n\n"
  " -- ${TQ_DEB_MAINTAINER}  ${_tq_deb_date}\n")
execute_process(COMMAND gzip -9nf "${_tq_deb_doc}/changelog" RESULT_VARIABLE _tq_gz)
if(NOT _tq_gz EQUAL 0)
  message(FATAL_ERROR "Debian packages: gzip of the changelog failed")
endif()
while(_tq_deb_packages)
  list(POP_FRONT _tq_deb_packages _comp _pkg)
  install(FILES "${PROJECT_SOURCE_DIR}/cmake/debian/copyright" "${_tq_deb_doc}/changelog.gz"
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_pkg} COMPONENT ${_comp})
  # Lintian tags a package carries on purpose, each with its reason.
  if(EXISTS "${PROJECT_SOURCE_DIR}/cmake/debian/${_pkg}.lintian-overrides")
    install(FILES "${PROJECT_SOURCE_DIR}/cmake/debian/${_pkg}.lintian-overrides"
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${_pkg} COMPONENT ${_comp})
  endif()
  string(TOUPPER "${_comp}" _COMP)
  set(CPACK_DEBIAN_${_COMP}_PACKAGE_NAME "${_pkg}")
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tq-core)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${TQ_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${TQ_DEB_ARCH}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libtq_core.so.0, which the tools need, in the build tree; it
# belongs to no installed package, so the tools' dependency on it is the explicit one below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# shlibs names the public library only (CPack's own would list the private ONNX Runtime
# too); the trigger has ldconfig refresh its cache once dpkg is done.
file(WRITE "${_tq_deb_doc}/shlibs"
  "libtq_core ${PROJECT_VERSION_MAJOR} libtq-core0 (>= ${PROJECT_VERSION})\n")
file(WRITE "${_tq_deb_doc}/triggers" "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${_tq_deb_doc}/shlibs;${_tq_deb_doc}/triggers")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "real-time talking-avatar runtime
libtq_core makes a filmed person (an avatar) speak a live audio stream in real
time: a host opens an avatar bundle, pushes 16 kHz speech and pulls finished
frames at 25 fps, through a flat C interface.
.
This package holds the shared library and, in a private folder of its own, the
ONNX Runtime it was built against.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "real-time talking-avatar runtime - development files
libtq_core makes a filmed person (an avatar) speak a live audio stream in real
time through a flat C interface.
.
This package holds the C headers, the pkg-config file (tq_core) and the CMake
package (find_package(tq_core), target tq_core::tq_core).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION video)
# tq_live has espeak-ng say the typed text and ffmpeg resample it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "espeak-ng, ffmpeg")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "real-time talking-avatar runtime - example hosts
libtq_core makes a filmed person (an avatar) speak a live audio stream in real
time through a flat C interface.
.
This package holds the example hosts: tq_speak (speech file into a real-time
session, written as a movie), tq_host, tq_offline, tq_info and, where it was
built, tq_live (the avatar live in a browser).")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.9), python3-numpy")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "real-time talking-avatar runtime - Python 3 package
libtq_core makes a filmed person (an avatar) speak a live audio stream in real
time through a flat C interface.
.
This package holds the tq_core Python package: ctypes over the C interface,
numpy arrays in and out, bound to the library of the same version.")

include(CPack)
