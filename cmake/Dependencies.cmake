# Third-party dependencies: Debian packages plus what tools/bootstrap.sh puts in third_party/.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

set(TQ_THIRD_PARTY "${PROJECT_SOURCE_DIR}/third_party" CACHE PATH "Bootstrapped third-party files")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(_ort_arch arm64)
  set(_hwy_dir hwy-aarch64)
else()
  set(_ort_arch x64)
  set(_hwy_dir hwy-host)
endif()
if(CMAKE_CROSSCOMPILING)
  set(_hwy_dir hwy-aarch64)
endif()

# ONNX Runtime: npm's prebuilt runtime, headers from Debian's libonnxruntime-dev.
set(TQ_ORT_LIBDIR "${TQ_THIRD_PARTY}/onnxruntime/lib/${_ort_arch}" CACHE PATH "")
set(TQ_ORT_INCLUDE "${TQ_THIRD_PARTY}/onnxruntime/include" CACHE PATH "")
if(NOT EXISTS "${TQ_ORT_LIBDIR}/libonnxruntime.so.1" OR NOT EXISTS "${TQ_ORT_INCLUDE}/onnxruntime_c_api.h")
  message(FATAL_ERROR "ONNX Runtime missing under ${TQ_THIRD_PARTY}: run tools/bootstrap.sh")
endif()
add_library(tq::ort SHARED IMPORTED)
set_target_properties(tq::ort PROPERTIES
  IMPORTED_LOCATION "${TQ_ORT_LIBDIR}/libonnxruntime.so.1"
  IMPORTED_SONAME "libonnxruntime.so.1")
target_include_directories(tq::ort SYSTEM INTERFACE "${TQ_ORT_INCLUDE}")

# Highway, built from source by the bootstrap (static, PIC).
set(TQ_HWY_PREFIX "${TQ_THIRD_PARTY}/${_hwy_dir}" CACHE PATH "")
if(NOT EXISTS "${TQ_HWY_PREFIX}/lib/libhwy.a")
  message(FATAL_ERROR "Highway missing under ${TQ_HWY_PREFIX}: run tools/bootstrap.sh")
endif()
add_library(tq::hwy STATIC IMPORTED)
set_target_properties(tq::hwy PROPERTIES IMPORTED_LOCATION "${TQ_HWY_PREFIX}/lib/libhwy.a")
target_include_directories(tq::hwy SYSTEM INTERFACE "${TQ_HWY_PREFIX}/include")

# FFmpeg.
pkg_check_modules(TQ_FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
add_library(tq::ffmpeg INTERFACE IMPORTED)
target_link_libraries(tq::ffmpeg INTERFACE PkgConfig::TQ_FFMPEG)
get_target_property(_ff_inc PkgConfig::TQ_FFMPEG INTERFACE_INCLUDE_DIRECTORIES)
if(_ff_inc)
  target_include_directories(tq::ffmpeg SYSTEM INTERFACE ${_ff_inc})
endif()

# stb (header only).
find_path(TQ_STB_INCLUDE stb/stb_image.h REQUIRED)
add_library(tq::stb INTERFACE IMPORTED)
target_include_directories(tq::stb SYSTEM INTERFACE "${TQ_STB_INCLUDE}")

# Tests and benchmarks.
find_package(GTest)
find_package(benchmark QUIET)

# Python with the onnx package and numpy, for fixtures.
set(TQ_PYTHON /usr/bin/python3 CACHE FILEPATH "Python with onnx and numpy")
