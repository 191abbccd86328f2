# Install: the shared library with its ONNX Runtime beside it, the public headers,
# a pkg-config file and a CMake package exporting tq_core::tq_core.
include(CMakePackageConfigHelpers)

install(TARGETS tq_core EXPORT tq_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tq/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tq
  FILES_MATCHING PATTERN "*.h")
install(FILES "${TQ_ORT_LIBDIR}/libonnxruntime.so.1" DESTINATION ${CMAKE_INSTALL_LIBDIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/tq_core.pc.in ${PROJECT_BINARY_DIR}/tq_core.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tq_core.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(EXPORT tq_coreTargets NAMESPACE tq_core:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tq_core)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tq_coreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tq_coreConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tq_core)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tq_coreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tq_coreConfig.cmake ${PROJECT_BINARY_DIR}/tq_coreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tq_core)

# The Python package, in a site-packages folder under the prefix. It finds the
# library through the relative path written beside it.
set(TQ_PYTHON_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/python3/site-packages" CACHE STRING
  "Where cmake --install puts the tq_core Python package (relative to the prefix)")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/tq_core DESTINATION ${TQ_PYTHON_INSTALL_DIR}
  FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(_tq_py_libdir "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH _tq_py_libdir "/prefix/${TQ_PYTHON_INSTALL_DIR}/tq_core" "/prefix/${CMAKE_INSTALL_LIBDIR}")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/python/_install_location.py
  "# Written by cmake --install: the library directory, relative to this package.\nLIBRARY_DIR = \"${_tq_py_libdir}\"\n")
install(FILES ${PROJECT_BINARY_DIR}/python/_install_location.py DESTINATION ${TQ_PYTHON_INSTALL_DIR}/tq_core)
install(CODE "message(STATUS \"Python package tq_core: \${CMAKE_INSTALL_PREFIX}/${TQ_PYTHON_INSTALL_DIR} (add it to PYTHONPATH)\")")
