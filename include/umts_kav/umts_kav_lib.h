/* UMTS_KAV_LIB, the public interface that hosts include: start-up and shut-down, the message
 * sink, the port-map update, the connect settings, connect and disconnect, the generic DM
 * command that carries a host's own DIAG request, mode changes and reset; the status codes, the
 * comm modes and the NV item packet those operations use.
 *
 * Installed as <umts_kav/umts_kav_lib.h>; it compiles as C99 and as C++ and needs nothing but
 * the C standard headers. The operations have C linkage, so C and C++ hosts link the same
 * symbols of libumts_kav.so (pkg-config: umts_kav; CMake: find_package(umts_kav)).
 *
 * Threading: a host calls these from one thread. Results are ZqUmtsKavStatusEnum values; 0 is
 * success. Failures are also reported as messages to the sink. */
#ifndef UMTS_KAV_LIB_H
#define UMTS_KAV_LIB_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

/* Marks the operations the shared library exports; everything else in it is hidden. On Windows
 * umts_kav_lib.dll exports them by name (its module-definition file), hosts import them through
 * its import library, and the library's own build and programs that link it statically
 * (UMTS_KAV_STATIC) do neither. */
#if defined(_WIN32)
#if defined(UMTS_KAV_STATIC)
#define UMTS_KAV_API
#else
#define UMTS_KAV_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define UMTS_KAV_API __attribute__((visibility("default")))
#else
#define UMTS_KAV_API
#endif

/* On Windows the name DllMain belongs to the DLL's entry point, which the system's loader calls
 * with its own arguments; there hosts attach and detach the library through the same operation
 * under the name umts_kav_lib_attach. */
#if defined(_WIN32)
#define DllMain umts_kav_lib_attach
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The result of the library's operations: 0 is success, every other value names one failure. */
typedef int32_t ZqUmtsKavStatusEnum;

enum {
  ZqUmtsKavStatus_Success = 0,
  ZqUmtsKavStatus_PortReadFailed = 2, /* also: illegal argument */
  ZqUmtsKavStatus_ModeUndetermined = 3,
  ZqUmtsKavStatus_MoveToDlFailed = 4,
  ZqUmtsKavStatus_MoveToDmFailed = 5, /* also: reset failed */
  ZqUmtsKavStatus_NoDmPort = 15,
  ZqUmtsKavStatus_OpenFailed = 16,
  ZqUmtsKavStatus_NoPortOpen = 17,
  ZqUmtsKavStatus_ResponseTimeout = 18,
  ZqUmtsKavStatus_SendIncomplete = 20,
  ZqUmtsKavStatus_BadDocumentFileName = 40,
  ZqUmtsKavStatus_OfflineNotAcknowledged = 45,
  ZqUmtsKavStatus_OfflineTimeout = 46,
  ZqUmtsKavStatus_OfflineNotDmMode = 47,
  ZqUmtsKavStatus_ProbeFailed = 51,
  ZqUmtsKavStatus_OfflineNoStatusRecord = 100,
  ZqUmtsKavStatus_MoreThanOneDmPort = 318,
  ZqUmtsKavStatus_XmlFailure = 367,
  ZqUmtsKavStatus_XmlRuleBroken = 368,
  ZqUmtsKavStatus_OpenZumiNoVersion = 371,    /* none defined, or firmware invalid */
  ZqUmtsKavStatus_OpenZumiUnrecognized = 372, /* status value not known */
  ZqUmtsKavStatus_OpenZumiNotSupported = 373, /* the modem lacks the request */
  ZqUmtsKavStatus_OpenZumiNoAnswer = 374,     /* no usable answer in five sends */
  ZqUmtsKavStatus_NoRequest = 437,
  ZqUmtsKavStatus_ResponseTooBig = 439,
  ZqUmtsKavStatus_NotSupported = 440,
  ZqUmtsKavStatus_NoResponse = 441
};

/* What answers on the DM port: the modem's DIAG task (DM), its downloader (DL), or nothing
 * known. 32 bits wide in both languages. */
#ifdef __cplusplus
enum ZqUmtsKavCommModeEnum : int32_t {
#else
typedef enum ZqUmtsKavCommModeEnum {
#endif
  ZqUmtsKavCommMode_Unknown = 0,
  ZqUmtsKavCommMode_DM = 1,
  ZqUmtsKavCommMode_DL = 2
#ifdef __cplusplus
};
#else
} ZqUmtsKavCommModeEnum;
#endif

/* NV item read (0x26) and write (0x27) request and response, 133 bytes, packed, little-endian:
 *   offset 0    cmd_code   0x26 read, 0x27 write
 *   offset 1    item       NV item id
 *   offset 3    data       128 bytes of item data
 *   offset 131  nv_stat    NV status (0 done, 5 inactive, 7 read-only, ...) */
typedef struct __attribute__((packed)) NvItemPacket {
  uint8_t cmd_code;
  uint16_t item;
  uint8_t data[128];
  uint16_t nv_stat;
} NvItemPacket;

/* Refuses to compile where the packet would not be 133 bytes (C99 has no static assertion). */
typedef char ZqUmtsKavNvItemPacketIs133Bytes[sizeof(NvItemPacket) == 133 ? 1 : -1];

/* Attach (reason 1) or detach (reason 0) the library. Returns 1 for those, 0 for any other. */
UMTS_KAV_API int DllMain(uint32_t ul_reason_for_call);

/* The detach routine, to be registered with atexit by the host after attaching. */
UMTS_KAV_API void umts_kav_lib_detach(void);

/* The host's function receiving every library message as finished text. */
typedef void (*ZqUmtsKavMessageSink)(const char* text);
UMTS_KAV_API void ZqUmtsKavSetMessageSink(ZqUmtsKavMessageSink sink);

/* Adds or changes port map entries from an XML document, given as text or as a file name
 * (a text with neither '<' nor '>'). 0, 40, 367 or 368. */
UMTS_KAV_API ZqUmtsKavStatusEnum ZqUmtsKavPortMapUpdate(const char* xml_source);

/* The settings of the next connect: line speed, whether to open `requested_com_port` without
 * asking the port scanner, and the COM port wanted (0 = the one DM port the scanner finds). */
UMTS_KAV_API void ZqUmtsKavSetConnectSettings(uint32_t baud_rate, bool fixed_port_mode,
                                              int32_t requested_com_port);

/* Connects to the modem's DM port and learns whether DM or DL mode answers. */
UMTS_KAV_API ZqUmtsKavStatusEnum ZqUmtsKavConnect(void);

/* Closes the connection and restores the default connect settings. */
UMTS_KAV_API ZqUmtsKavStatusEnum ZqUmtsKavDisconnect(void);

/* Sends the 133-byte DIAG request `cmd_buff` and copies the matching response (at most 133
 * bytes) into `rsp_buff` (may be null). 0, 3, 5, 437, 439, 440 or 441. */
UMTS_KAV_API ZqUmtsKavStatusEnum ZqUmtsKavSendGenericDMCommand(const uint8_t* cmd_buff,
                                                               uint8_t* rsp_buff);

/* Moves the modem into DM (1) or DL (2) mode, resetting it for the way back to DM. 0, 2, 3, 4,
 * 5 or the code of a failed reconnect. */
UMTS_KAV_API ZqUmtsKavStatusEnum ZqUmtsKavSetModemCommMode(int32_t com_mode);

/* Resets the modem the way its port's reset method says and connects again. 0, 2, 5 or 51. */
UMTS_KAV_API ZqUmtsKavStatusEnum ZqUmtsKavResetModem(void);

#ifdef __cplusplus
}
#endif

#endif /* UMTS_KAV_LIB_H */
