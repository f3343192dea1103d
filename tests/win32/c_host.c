/* A host in C99 of umts_kav_lib.dll, linked through the DLL's import library: attaches the
 * library, receives its messages, adds the modem's DM port to the port map, connects to the one
 * DM port, reads NV item 5078 with the generic DM command and prints its text, disconnects and
 * detaches. Exit status 0 when the
 * item was read, else the failing operation's status. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "umts_kav/umts_kav_lib.h"

static void sink(const char* text) {
  fputs(text, stderr);
}

int main(void) {
  NvItemPacket request;
  NvItemPacket response;
  ZqUmtsKavStatusEnum status;
  umts_kav_lib_attach(1);
  atexit(umts_kav_lib_detach);
  ZqUmtsKavSetMessageSink(sink);
  /* The simulated modem's DM port, which the library's own port map does not list. */
  status = ZqUmtsKavPortMapUpdate(
      "<UmtsKavConfig><Modem><Name>ZQTL Vorla</Name>"
      "<PortId PortType=\"PT_DM\">USB\\VID_5C8E&amp;PID_A7E2&amp;MI_01</PortId></Modem>"
      "</UmtsKavConfig>");
  if (status != ZqUmtsKavStatus_Success) {
    fprintf(stderr, "c-host: port map update failed with status %d\n", (int)status);
    return (int)status;
  }
  ZqUmtsKavSetConnectSettings(115200, false, 0);
  status = ZqUmtsKavConnect();
  if (status != ZqUmtsKavStatus_Success) {
    fprintf(stderr, "c-host: connect failed with status %d\n", (int)status);
    return (int)status;
  }
  memset(&request, 0, sizeof request);
  request.cmd_code = 0x26;
  request.item = 5078;
  memset(&response, 0, sizeof response);
  status = ZqUmtsKavSendGenericDMCommand((const uint8_t*)&request, (uint8_t*)&response);
  if (status == ZqUmtsKavStatus_Success) {
    printf("item %u status %u text \"%.128s\"\n", (unsigned)response.item,
           (unsigned)response.nv_stat, (const char*)response.data);
  } else {
    fprintf(stderr, "c-host: NV read failed with status %d\n", (int)status);
  }
  ZqUmtsKavDisconnect();
  return (int)status;
}
