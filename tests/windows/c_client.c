/* A C program using KEL32.dll through kel32.h and the import library, as
 * the README shows: attach, a parameter, an error text, the text
 * utilities, release. */
#include <stdio.h>
#include <string.h>

#include "kel32.h"

static int failed = 0;

static void check(int ok, const char *what) {
  if (!ok) {
    printf("failure: %s\n", what);
    failed++;
  }
}

int main(void) {
  char text[128];
  check(kelAttach(1, 0) == 1, "kelAttach(1, 0) == 1");
  check(kelIntegerParam(0, KEL_SMTP_PORT, 587) == 1, "kelIntegerParam(0, KEL_SMTP_PORT, 587) == 1");
  check(kelErrorText(0, -8, text, sizeof text) == 17, "kelErrorText(0, -8) == 17");
  check(strcmp(text, "Socket timed out.") == 0, "the text of -8");
  check(kelVerifyFormat("<ab@cd>") == 1, "kelVerifyFormat(\"<ab@cd>\") == 1");
  check(kelEncodeBuffer("abc", text, 3) == 6 && memcmp(text, "YWJj\r\n", 6) == 0, "kelEncodeBuffer(\"abc\")");
  check(kelRelease() == 1, "kelRelease() == 1");
  printf("%d passed, %d failed\n", failed ? 0 : 1, failed ? 1 : 0);
  return failed ? 1 : 0;
}
