// The public operations that hand straight down to a lower layer: the port-map update and the
// connect settings.
#include "lib/discovery/port_map_update.h"
#include "lib/transport/dm_port.h"
#include "umts_kav/umts_kav_lib.h"

ZqUmtsKavStatusEnum ZqUmtsKavPortMapUpdate(const char* xml_source) {
  return kav::port_map_update(xml_source);
}

void ZqUmtsKavSetConnectSettings(uint32_t baud_rate, bool fixed_port_mode,
                                 int32_t requested_com_port) {
  kav::set_baud_rate(baud_rate);
  kav::set_fixed_port_mode(fixed_port_mode);
  kav::set_requested_com_port(requested_com_port);
}
