#include "lib/modem/lifecycle.h"

#include <cstdio>

#include "lib/core/library.h"
#include "lib/core/messages.h"
#include "lib/core/timeouts.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/monitors.h"
#include "lib/identity/modem_identity.h"
#include "lib/modem/connect.h"
#include "lib/nv/nv_database.h"
#include "lib/nv/nv_names.h"
#include "lib/transport/dm_frames.h"
#include "lib/transport/dm_port.h"
#include "lib/transport/just_reset.h"
#include "lib/transport/pinger.h"
#include "umts_kav/umts_kav_lib.h"

namespace kav {

namespace {

void attach() {
  set_port_close_hook(clear_modem_caches);
  close_com_port();
  set_message_sink(nullptr);
  read_logging_settings();
  open_log_files();
  load_timeouts();
  start_monitors();
}

void detach() {
  close_com_port();
  set_message_sink(nullptr);
  close_log_files();
}

}  // namespace

void library_shutdown() {
  stop_monitors();
  stop_pinger();
}

void reset_library_for_testing() {
  library_shutdown();
  set_port_close_hook(nullptr);
  reset_dm_port();
  reset_dm_frames();
  reset_connect_state();
  reset_nv_database();
  clear_translated_nv_items();
  reset_modem_identity();
  set_just_reset(false);
  reset_messages();
  reset_timeouts();
  reset_scanner();
  reset_library_settings();
}

}  // namespace kav

int DllMain(uint32_t ul_reason_for_call) {
  switch (ul_reason_for_call) {
    case 1:
      kav::attach();
      return 1;
    case 0:
      kav::detach();
      return 1;
    default:
      std::fprintf(stderr, "ERROR: umts_kav_lib:DllMain invalid ul_reason_for_call (%d).\n",
                   static_cast<int>(ul_reason_for_call));
      return 0;
  }
}

void umts_kav_lib_detach() {
  DllMain(0);
  // The routine runs from the exit handler list: stop the monitors and the pinger too, so that
  // no library thread is still running while the runtime tears the process down. Their
  // shutting-down reports must not open a new pair of logs after detach closed them.
  kav::set_logging(false, false);
  kav::library_shutdown();
}

void ZqUmtsKavSetMessageSink(ZqUmtsKavMessageSink sink) {
  kav::set_message_sink(sink);
}
