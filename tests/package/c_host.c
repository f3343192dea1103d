/* A host of the installed library, built by tests/package/host_test.sh as C99 and as C++ against
 * <umts_kav/umts_kav_lib.h> and libumts_kav.so: attaches, installs its message sink, makes the
 * library report two failures through it, checks the records and constants a host relies on,
 * and detaches at exit. Prints "host ok" and exits 0 when everything held. */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <umts_kav/umts_kav_lib.h>

static int messages = 0;
static char last_message[512];

static void sink(const char* text) {
  ++messages;
  strncpy(last_message, text, sizeof last_message - 1);
  fputs(text, stdout);
}

static int failures = 0;

static void expect(int ok, const char* what) {
  if (!ok) {
    printf("FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  NvItemPacket packet;
  ZqUmtsKavStatusEnum status;
  ZqUmtsKavCommModeEnum mode = ZqUmtsKavCommMode_DL;

  /* The record and the enum are laid out as the library sends them. */
  expect(sizeof(NvItemPacket) == 133, "NvItemPacket is 133 bytes");
  expect(offsetof(NvItemPacket, item) == 1, "item at offset 1");
  expect(offsetof(NvItemPacket, data) == 3, "data at offset 3");
  expect(offsetof(NvItemPacket, nv_stat) == 131, "nv_stat at offset 131");
  expect(sizeof(mode) == 4 && mode == 2, "ZqUmtsKavCommModeEnum is 32 bits, DL is 2");
  expect(sizeof(ZqUmtsKavStatusEnum) == 4, "ZqUmtsKavStatusEnum is 32 bits");

  expect(DllMain(1) == 1, "attach returns 1");
  atexit(umts_kav_lib_detach);
  ZqUmtsKavSetMessageSink(sink);

  /* A document that does not parse: 367, reported through the sink. */
  status = ZqUmtsKavPortMapUpdate("<UmtsKavConfig><Port");
  expect(status == ZqUmtsKavStatus_XmlFailure, "broken document returns 367");
  expect(messages > 0 && strstr(last_message, "ERROR") != NULL, "the failure reached the sink");

  /* No request: 437 and its message, without touching a port. */
  messages = 0;
  memset(&packet, 0, sizeof packet);
  status = ZqUmtsKavSendGenericDMCommand(NULL, (uint8_t*)&packet);
  expect(status == ZqUmtsKavStatus_NoRequest, "a missing request returns 437");
  expect(messages == 1 && strstr(last_message, "empty cmd_buff") != NULL,
         "the missing request was reported");

  ZqUmtsKavSetConnectSettings(115200, false, 0);
  expect(DllMain(7) == 0, "an unknown reason returns 0");
  if (failures != 0) return 1;
  puts("host ok");
  return 0;
}
