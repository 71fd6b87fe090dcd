/* A C11 host: calls every export through the public header. */
#include <stdio.h>
#include <string.h>

#include "tavisk.h"

static int expect(int cond, const char* what) {
  if (!cond) fprintf(stderr, "failed: %s\n", what);
  return cond ? 0 : 1;
}

int main(void) {
  int failures = 0;
  const char* input = "{\"a\":[1,2,3]}";
  const char* options = "{\"indent\":0}";
  uint64_t len = 0;
  uint8_t* out = tavisk_shrink((const uint8_t*)input, strlen(input), (const uint8_t*)options, strlen(options), &len);
  const char* want = "{\"ok\":true,\"text\":\"{\\\"a\\\":[1,2,3]}\"";
  failures += expect(out != NULL, "shrink returns a buffer");
  failures += expect(len > strlen(want) && memcmp(out, want, strlen(want)) == 0, "envelope starts as expected");
  tavisk_free(out, len);

  uint8_t* empty = tavisk_alloc(0);
  failures += expect(empty == (uint8_t*)1, "alloc(0) is the sentinel");
  tavisk_free(empty, 0);
  uint8_t* buf = tavisk_alloc(16);
  failures += expect(buf != NULL && buf[15] == 0, "alloc is zero-filled");
  tavisk_free(buf, 16);
  failures += expect(strcmp(tavisk_version(), "0.2.1") == 0, "version");
  return failures ? 1 : 0;
}
