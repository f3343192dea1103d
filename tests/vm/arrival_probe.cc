// kav-vm-arrival: the time from a USB modem's plug to a waiting get_dm_port_wait returning, on
// a real kernel (the uevent monitor, udev-less /dev, the kernel's own drivers). The modem is a
// kav-modem-sim gadget; this program plugs and unplugs it by binding and unbinding its gadget
// to the USB device controller, and prints one line per plug: the time to the DM port's /dev
// node (the kernel and the USB enumeration) and to the wait's return, with their medians.
//
//   kav-vm-arrival GADGET_DIR UDC COUNT
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "lib/core/timeouts.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/monitors.h"
#include "lib/discovery/port_map.h"
#include "tool/port_map_document.h"
#include "umts_kav/umts_kav_lib.h"

namespace {

using Clock = std::chrono::steady_clock;

bool write_udc(const std::string& gadget, const std::string& udc) {
  const std::string path = gadget + "/UDC";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::string text = udc.empty() ? "\n" : udc;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

double ms_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The /dev node of a COM number (ttyUSB<n-1>, or ttyACM<n-201>).
std::string node_of(int com) {
  return com > 200 ? "/dev/ttyACM" + std::to_string(com - 201)
                   : "/dev/ttyUSB" + std::to_string(com - 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kav-vm-arrival GADGET_DIR UDC COUNT\n");
    return 2;
  }
  const std::string gadget = argv[1];
  const std::string udc = argv[2];
  const int count = std::atoi(argv[3]);
  // The port map as kelnorset has it: the built-in table and kelnorset's own document.
  if (ZqUmtsKavPortMapUpdate(kav::tool::kKelnorsetPortMapDocument) != 0) {
    std::fprintf(stderr, "kav-vm-arrival: the port map update failed\n");
    return 1;
  }
  kav::set_timeout(kav::Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL, 60000);
  kav::start_monitors();
  kav::registry_monitor_started_event().wait();
  std::vector<double> ms;
  std::vector<double> node_ms;
  for (int i = 0; i < count; ++i) {
    const int before = kav::get_dm_port_wait(10000, true, 0);
    if (before <= 0 || !write_udc(gadget, "") || kav::get_dm_port_wait(10000, false, before) != 0) {
      std::printf("plug %d: the modem did not leave (COM%d)\n", i + 1, before);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto plugged = Clock::now();
    if (!write_udc(gadget, udc)) {
      std::printf("plug %d: cannot bind %s to %s\n", i + 1, gadget.c_str(), udc.c_str());
      return 1;
    }
    // The node is watched from another thread while this one waits as a host would.
    const std::string node = node_of(before);
    auto node_seen = std::async(std::launch::async, [&node] {
      const auto end = Clock::now() + std::chrono::seconds(10);
      while (::access(node.c_str(), F_OK) != 0 && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      return Clock::now();
    });
    const int port = kav::get_dm_port_wait(10000, true, 0);
    const auto returned = Clock::now();
    const double to_node = ms_between(plugged, node_seen.get());
    const double to_return = ms_between(plugged, returned);
    if (port <= 0) {
      std::printf("plug %d: no DM port within 10 s\n", i + 1);
      return 1;
    }
    std::printf("plug %d: COM%d, node after %.1f ms, wait returned after %.1f ms\n", i + 1, port,
                to_node, to_return);
    node_ms.push_back(to_node);
    ms.push_back(to_return);
  }
  kav::stop_monitors();
  std::sort(ms.begin(), ms.end());
  std::sort(node_ms.begin(), node_ms.end());
  std::printf(
      "arrival median over %d plugs: node %.1f ms, wait returned %.1f ms (min %.1f, max "
      "%.1f)\n",
      count, node_ms[node_ms.size() / 2], ms[ms.size() / 2], ms.front(), ms.back());
  return 0;
}
