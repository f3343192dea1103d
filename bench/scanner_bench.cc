// The COM port scanner: one full scan (four classes, registry look-ups) over a device tree of
// about 1,000 interfaces; and the latency from a DM port's tty node appearing to a waiting
// get_dm_port_wait returning, with the registry change monitor running.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "lib/core/timeouts.h"
#include "lib/discovery/com_port_scanner.h"
#include "lib/discovery/monitors.h"
#include "lib/discovery/port_map.h"
#include "sim/device_tree.h"

namespace {

using Clock = std::chrono::steady_clock;

// A fresh device root with UMTS_KAV_ROOT pointing at it; removed at the end.
class BenchRoot {
 public:
  BenchRoot() {
    path_ = (std::filesystem::temp_directory_path() /
             ("kav_scanner_bench_" + std::to_string(Clock::now().time_since_epoch().count())))
                .string();
    std::filesystem::create_directories(path_);
    setenv("UMTS_KAV_ROOT", path_.c_str(), 1);
    tree_.emplace(path_);
  }
  ~BenchRoot() {
    unsetenv("UMTS_KAV_ROOT");
    std::filesystem::remove_all(path_);
  }
  kav::sim::DeviceTree& tree() { return *tree_; }

 private:
  std::string path_;
  std::optional<kav::sim::DeviceTree> tree_;
};

kav::sim::UsbInterfaceSpec itf(int number, kav::sim::PortKind kind, int index, uint8_t cls) {
  kav::sim::UsbInterfaceSpec s;
  s.number = number;
  s.kind = kind;
  s.index = index;
  s.interface_class = cls;
  return s;
}

// 167 devices, each a DM ttyUSB, an ACM port and two HID interfaces: 2 COM port, 1 modem,
// 2 HID and 1 USB device member each, 1,002 interfaces in all.
void BM_ScanThousandInterfaces(benchmark::State& state) {
  BenchRoot root;
  for (int d = 0; d < 167; ++d) {
    root.tree().add_device(
        {0x05c6,
         0x9001,
         0x0232,
         "1-" + std::to_string(d + 1),
         0,
         {itf(0, kav::sim::PortKind::Serial, d, 0xff), itf(1, kav::sim::PortKind::Acm, d, 0x02),
          itf(2, kav::sim::PortKind::Hidraw, 2 * d, 0x03),
          itf(3, kav::sim::PortKind::Hidraw, 2 * d + 1, 0x03)}});
  }
  kav::init_valid_ports_map();
  size_t found = 0;
  for (auto _ : state) {
    kav::PortScanListPtr list = kav::get_com_port_list(PT_DM);
    found = list ? list->entries.size() : 0;
    benchmark::DoNotOptimize(list);
  }
  state.counters["dm_ports"] = static_cast<double>(found);
}
BENCHMARK(BM_ScanThousandInterfaces)->Unit(benchmark::kMillisecond);

// Time from the start of plugging a DM port (its tty node is created last) to a waiter's
// return. The watcher collects a burst for 20 ms before it reports, which bounds it from below.
void BM_TtyNodeToWaitReturn(benchmark::State& state) {
  BenchRoot root;
  kav::set_timeout(kav::Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL, 60000);
  kav::start_monitors();
  kav::registry_monitor_started_event().wait();
  for (auto _ : state) {
    auto waiter = std::async(std::launch::async, [] {
      const int port = kav::get_dm_port_wait(10000, true, 0);
      return std::make_pair(port, Clock::now());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the waiter is asleep
    const auto plugged = Clock::now();
    const kav::sim::DeviceHandle modem =
        root.tree().add_device({0x05c6,
                                0x9001,
                                0x0232,
                                "1-2",
                                0,
                                {itf(0, kav::sim::PortKind::Serial, 4, 0xff),
                                 itf(1, kav::sim::PortKind::Serial, 5, 0xff)}});
    const auto [port, returned] = waiter.get();
    if (port != 5) state.SkipWithError("waiter did not see COM 5");
    state.SetIterationTime(std::chrono::duration<double>(returned - plugged).count());
    root.tree().remove_device(modem);
    kav::get_dm_port_wait(10000, false, 5);
  }
  kav::stop_monitors();
}
BENCHMARK(BM_TtyNodeToWaitReturn)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
