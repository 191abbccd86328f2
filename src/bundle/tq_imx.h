// Bundle path resolution and the IMX v2 single-file container.
//
// A bundle is named by one path: a bundle directory, an IMX container, or the
// container's path without its ".imx" suffix. A container is unpacked once into
// an unwrap directory beside it (or under $TQ_IMX_UNWRAP_ROOT) and stamped with
// a marker file "<unwrap dir>.imx_unwrapped"; later opens reuse the unpacked
// copy until the container's size, modification time or inode changes.
//
// Container layout (little-endian): "IMX\0", u16 version (2), u16 count, then
// `count` entries of u16 name length, name bytes, u64 offset, u64 size.
#pragma once

#include <string>

namespace tq {

// Directory to read the bundle named by `path` from, unpacking a container on
// first use. An empty path gives an empty result; a path that is neither a
// bundle directory nor a container is returned unchanged. Throws
// std::runtime_error when unpacking fails.
std::string resolveBundlePath(const std::string& path);

// True when `path` is a regular file starting with "IMX\0" and version 2.
bool isImxV2File(const std::string& path);

// Unpacks container `container` into its unwrap directory unless the marker
// beside it already carries the container's current stamp; returns the unwrap
// directory. All unwraps in the process are serialised by one mutex.
std::string unwrapOnce(const std::string& container);

// Unwrap directory of `container` under the current environment.
std::string imxUnwrapDir(const std::string& container);

// The stamp text the marker must hold for `container` as it is now; throws
// "cannot stat container <path>".
std::string imxStamp(const std::string& container);

}  // namespace tq
