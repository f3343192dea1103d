// The COM port scanner: one full scan (four classes, registry look-ups) over a device tree of
// about 1,000 and of about 10,000 interfaces; and the latency from a DM port's tty node appearing
// to a waiting get_dm_port_wait returning, with the registry change monitor running.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

// `state.range(0)` devices, each a DM ttyUSB, an ACM port and two HID interfaces: 2 COM port,
// 1 modem, 2 HID and 1 USB device member each; 167 devices make 1,002 interfaces, 1,667 make
// 10,002 (ttys beyond the COM number range have no COM number and are reported as such).
void BM_ScanInterfaces(benchmark::State& state) {
  BenchRoot root;
  const int devices = static_cast<int>(state.range(0));
  for (int d = 0; d < devices; ++d) {
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
  state.counters["interfaces"] = 6.0 * devices;
  state.counters["dm_ports"] = static_cast<double>(found);
}
BENCHMARK(BM_ScanInterfaces)->Arg(167)->Arg(1667)->Unit(benchmark::kMillisecond);

// Time from a DM port's tty node to a waiter's return, on an empty machine and beside
// `state.range(0)` devices of six interfaces each (an identity in no port map, so they are
// scanned but are no DM ports). The simulated device's sysfs entries take the simulator several
// milliseconds to write, and its nodes come last, as with the kernel: the iteration time runs
// from the end of the plug (its last node), `from_plug_ms` from its start.
void BM_TtyNodeToWaitReturn(benchmark::State& state) {
  BenchRoot root;
  for (int d = 0; d < state.range(0); ++d) {
    root.tree().add_device(
        {0x1AB7,
         0x0C01,
         0x0100,
         "2-" + std::to_string(d + 1),
         0,
         {itf(0, kav::sim::PortKind::Serial, d + 10, 0xff),
          itf(1, kav::sim::PortKind::Acm, d, 0x02), itf(2, kav::sim::PortKind::Hidraw, 2 * d, 0x03),
          itf(3, kav::sim::PortKind::Hidraw, 2 * d + 1, 0x03)}});
  }
  kav::set_timeout(kav::Timeout::REGISTRY_CHANGE_MONITOR_PERIODIC_SCAN_INTERVAL, 60000);
  // As in a fresh process: the started event of an earlier run's monitor must not stand in for
  // this one's, which is awaited with its watches armed.
  kav::reset_scanner();
  kav::start_monitors();
  kav::registry_monitor_started_event().wait();
  std::vector<double> ms;
  std::vector<double> from_plug_ms;
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
    const auto node_made = Clock::now();
    const auto [port, returned] = waiter.get();
    if (port != 5) {
      state.SkipWithError(("waiter did not see COM 5 but " + std::to_string(port)).c_str());
      break;
    }
    // A waiter that returned before add_device did counts as no time.
    const double seconds =
        std::max(0.0, std::chrono::duration<double>(returned - node_made).count());
    ms.push_back(seconds * 1000.0);
    from_plug_ms.push_back(std::chrono::duration<double>(returned - plugged).count() * 1000.0);
    state.SetIterationTime(seconds);
    root.tree().remove_device(modem);
    kav::get_dm_port_wait(10000, false, 5);
  }
  kav::stop_monitors();
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  std::sort(from_plug_ms.begin(), from_plug_ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["from_plug_ms"] = from_plug_ms[from_plug_ms.size() / 2];
}
BENCHMARK(BM_TtyNodeToWaitReturn)
    ->Arg(0)
    ->Arg(167)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
