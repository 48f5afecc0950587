/* Built against an installed libzavo_capture alone (no libzavo_api link):
 * a missing file and a file that is no capture are refused with a reason
 * that names them, and a handle-less call is refused, not crashed. */
#include <stdio.h>
#include <string.h>

#include <zavo_capture.h>

static void on_data(void* h, const ZAVO_MSG* m) {
  (void)h;
  (void)m;
}

int main(int argc, char** argv) {
  const char* junk = argc > 1 ? argv[1] : "not_a_capture.txt";
  FILE* f = fopen(junk, "w");
  if (f == NULL) return 2;
  fputs("hello, not a capture file\n", f);
  fclose(f);

  ZAVO_CaptureSetting s;
  memset(&s, 0, sizeof s);
  s.DataHandler = on_data;
  char why[256];
  if (ZAVO_CaptureOpen("/nonexistent/day.pcap", &s, why, sizeof why) != NULL ||
      strstr(why, "/nonexistent/day.pcap") == NULL) {
    fprintf(stderr, "missing file: '%s'\n", why);
    return 1;
  }
  if (ZAVO_CaptureOpen(junk, &s, why, sizeof why) != NULL || strstr(why, junk) == NULL) {
    fprintf(stderr, "not a capture: '%s'\n", why);
    return 1;
  }
  ZAVO_CaptureSummary sum;
  if (ZAVO_CaptureRead(NULL, 0) != ZAVO_ERR_INVALID ||
      ZAVO_CaptureGetSummary(NULL, &sum) != ZAVO_ERR_INVALID) {
    fprintf(stderr, "a null handle was not refused\n");
    return 1;
  }
  ZAVO_CaptureClose(NULL);
  printf("capture consumer: ok (%s)\n", why);
  return 0;
}
