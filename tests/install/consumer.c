/* A program that knows the library only through its installed header and
 * package files. It calls what works without a server. */
#include <stdio.h>
#include <string.h>

#include <zavo_api.h>

int main(void) {
  const char* v = ZAVO_Version();
  if (v == NULL || strncmp(v, "v1.1.202105.2", 13) != 0 || v != ZAVO_Version()) {
    fprintf(stderr, "unexpected version\n");
    return 1;
  }
  ZAVO_ERROR err = ZAVO_SUCCESS;
  if (ZAVO_Open(NULL, &err) != NULL || err != ZAVO_ERR_INVALID) {
    fprintf(stderr, "null settings not rejected\n");
    return 1;
  }
  ZAVO_CODEINFO* table = NULL;
  unsigned int count = 0;
  if (ZAVO_GetCodeTable(NULL, "SH", &table, &count) != ZAVO_ERR_INVALID) {
    fprintf(stderr, "null handle not rejected\n");
    return 1;
  }
  ZAVO_Free(NULL);
  printf("consumer ok: %s, msg %u bytes\n", v, (unsigned)sizeof(ZAVO_MSG));
  return 0;
}
