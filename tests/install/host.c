/* A tiny host of the installed library. */
#include <stdio.h>
#include <string.h>
#include <tq/tq.h>

int main(int argc, char** argv) {
  char out[4096];
  if (argc < 2) return 2;
  if (tq_bundle_resolve_handle(NULL, out, sizeof out) != -1) return 3;
  /* A plain directory with no container beside it resolves to itself. */
  if (tq_bundle_resolve_handle(argv[1], out, sizeof out) != 1 || strcmp(out, argv[1]) != 0) {
    fprintf(stderr, "resolve failed: %s\n", tq_last_error());
    return 1;
  }
  if (tq_last_error()[0] != '\0') return 4;
  printf("host ok: %s\n", out);
  return 0;
}
