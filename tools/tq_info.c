/* tq_info: a minimal host of the C interface. Resolves an avatar bundle (a
 * directory or an IMX container, unpacked once) and reports which of its
 * members are present under either naming layout.
 *
 *   tq_info <bundle-path> [member ...]
 */
#include <stdio.h>
#include <tq/tq.h>

static const char* const kMembers[] = {
    "manifest.json", "P.f16", "pooled64.f16", "fs_red.f16", "M.f32", "mask_512.u8",
    "xs_target.bin", "drive/si.i32", "drive/xs.f32", "drive/xd.f32", "target_frames.mp4",
    "model_b1.onnx"};

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <bundle-path> [member ...]\n", argv[0]);
    return 2;
  }
  char dir[4096];
  if (tq_bundle_resolve_handle(argv[1], dir, sizeof dir) != 1) {
    fprintf(stderr, "tq_info: %s\n", tq_last_error());
    return 1;
  }
  printf("bundle %s -> %s\n", argv[1], dir);
  int n = argc > 2 ? argc - 2 : (int)(sizeof kMembers / sizeof kMembers[0]);
  int present = 0;
  for (int i = 0; i < n; ++i) {
    const char* m = argc > 2 ? argv[i + 2] : kMembers[i];
    char path[4096];
    int r = tq_bundle_resolve_member(argv[1], m, path, sizeof path);
    if (r < 0) {
      fprintf(stderr, "tq_info: %s: %s\n", m, tq_last_error());
      return 1;
    }
    present += r;
    printf("  %-20s %s %s\n", m, r ? "present" : "absent ", path);
  }
  printf("%d of %d members present\n", present, n);
  return 0;
}
