/*
 * tq_core: real-time talking-avatar runtime.
 *
 * Plain C interface. Every function reports failure through its return value
 * (a null pointer, 0 or -1 as documented) and leaves a message in the calling
 * thread's last-error text, read with tq_last_error(). No exception or other
 * C++ construct ever crosses this interface.
 */
#ifndef TQ_TQ_H
#define TQ_TQ_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define TQ_API
#elif defined(__GNUC__)
#define TQ_API __attribute__((visibility("default")))
#else
#define TQ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- errors */

/* The calling thread's last-error text: never null, empty after a success of a
 * function that clears it on entry. Valid until the thread's next call into
 * the library. */
TQ_API const char* tq_last_error(void);

/* ---------------------------------------------------------------- bundles */

/* Resolves a bundle path (a bundle directory, an IMX container, or the
 * container's path without its ".imx" suffix) to the directory the bundle is
 * read from, unpacking a container once. Clears the last error on entry.
 * Returns 1 and writes the zero-terminated directory into out; returns -1 when
 * an argument is null or out_cap is 0 (no message), when the directory does not
 * fit ("tq_bundle_resolve_handle: buffer too small"), or when unpacking fails
 * ("tq_bundle_resolve_handle: " and the reason). On -1 with a non-null out,
 * out[0] is 0. */
TQ_API int tq_bundle_resolve_handle(const char* bundle_path, char* out, size_t out_cap);

/* Resolves a bundle path as above, then the member file, trying the second
 * naming layout when the first name is absent. Writes the member's path into
 * out and returns 1 when that file can be opened for reading, 0 when it cannot.
 * Returns -1 for null arguments or out_cap 0, when the path does not fit (no
 * message), and when the bundle cannot be resolved ("tq_bundle_resolve_member: "
 * and the reason). Does not clear the last error on entry. */
TQ_API int tq_bundle_resolve_member(const char* bundle_path, const char* member, char* out,
                                    size_t out_cap);

#ifdef __cplusplus
}
#endif

#endif /* TQ_TQ_H */
