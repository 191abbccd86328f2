# Install: the shared library with its ONNX Runtime beside it (or in TQ_ORT_INSTALL_SUBDIR),
# the public headers, a pkg-config file and a CMake package exporting tq_core::tq_core.
# Each rule names the component (Debian package, cmake/Packages.cmake) it belongs to:
# runtime (library and ONNX Runtime), dev (headers, namelink, pkg-config, CMake package),
# python, and tools (tools/CMakeLists.txt).
include(CMakePackageConfigHelpers)

install(TARGETS tq_core EXPORT tq_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tq/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tq COMPONENT dev
  FILES_MATCHING PATTERN "*.h")
set(_tq_ort_dest "${CMAKE_INSTALL_LIBDIR}")
if(TQ_ORT_INSTALL_SUBDIR)
  string(APPEND _tq_ort_dest "/${TQ_ORT_INSTALL_SUBDIR}")
endif()
install(FILES "${TQ_ORT_LIBDIR}/libonnxruntime.so.1" DESTINATION ${_tq_ort_dest} COMPONENT runtime)

# pkg-config: the prefix is found from the file's own folder, so an unpacked or
# relocated tree answers for itself. A source install also names its library folder
# as the host's run path; in the packages the library lies on the loader's own path.
file(RELATIVE_PATH TQ_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" TQ_PC_TO_PREFIX "${TQ_PC_TO_PREFIX}")
if(TQ_DEB_PACKAGES)
  set(TQ_PC_RPATH "")
else()
  set(TQ_PC_RPATH "-Wl,-rpath,\${libdir} ")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tq_core.pc.in ${PROJECT_BINARY_DIR}/tq_core.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tq_core.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

install(EXPORT tq_coreTargets NAMESPACE tq_core:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tq_core COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tq_coreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tq_coreConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tq_core)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tq_coreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tq_coreConfig.cmake ${PROJECT_BINARY_DIR}/tq_coreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tq_core COMPONENT dev)

# The Python package, in a site-packages folder under the prefix (Debian's
# dist-packages in the packages). It finds the library through the relative path
# written beside it.
if(TQ_DEB_PACKAGES)
  set(TQ_PYTHON_INSTALL_DIR "lib/python3/dist-packages")
else()
  set(TQ_PYTHON_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/python3/site-packages" CACHE STRING
    "Where cmake --install puts the tq_core Python package (relative to the prefix)")
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/tq_core DESTINATION ${TQ_PYTHON_INSTALL_DIR} COMPONENT python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(_tq_py_libdir "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH _tq_py_libdir "/prefix/${TQ_PYTHON_INSTALL_DIR}/tq_core" "/prefix/${CMAKE_INSTALL_LIBDIR}")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/python/_install_location.py
  "# Written by cmake --install: the library directory, relative to this package.\nLIBRARY_DIR = \"${_tq_py_libdir}\"\n")
install(FILES ${PROJECT_BINARY_DIR}/python/_install_location.py DESTINATION ${TQ_PYTHON_INSTALL_DIR}/tq_core
  COMPONENT python)
install(CODE "message(STATUS \"Python package tq_core: \${CMAKE_INSTALL_PREFIX}/${TQ_PYTHON_INSTALL_DIR} (add it to PYTHONPATH)\")"
  COMPONENT python)
