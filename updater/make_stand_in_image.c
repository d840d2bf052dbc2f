/* Writes the stand-in boot-loader image that qvebupd carries when the build has no
 * firmware: N bytes (default 20464) of a fixed pseudo-random pattern, so that every
 * byte value, zeros included, occurs. Usage: make_stand_in_image OUT [N] */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  long n = argc > 2 ? strtol(argv[2], NULL, 10) : 20464;
  FILE* f = fopen(argv[1], "wb");
  if (f == NULL) return 1;
  unsigned x = 0x1234567u;
  for (long i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    fputc((int)((x >> 16) & 0xFF), f);
  }
  return fclose(f) == 0 ? 0 : 1;
}
