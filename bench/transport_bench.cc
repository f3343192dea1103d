// CPU time the receive loop burns while it waits out a 2 s budget with nothing arriving over a
// pseudo-terminal: the adaptive pauses should keep it a small fraction of the wall time.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "lib/core/timeouts.h"
#include "lib/transport/dm_frames.h"
#include "lib/transport/dm_port.h"
#include "lib/transport/pinger.h"
#include "sim/device_tree.h"
#include "sim/pty.h"

namespace {

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_IdleReceiveCpu(benchmark::State& state) {
  char pattern[] = "/tmp/kav-bench-XXXXXX";
  const std::string root = mkdtemp(pattern);
  setenv("UMTS_KAV_ROOT", root.c_str(), 1);
  kav::sim::DeviceTree tree(root);
  kav::sim::Pty pty;
  kav::sim::UsbDeviceSpec usb;
  usb.vid = 0x1AB7;
  usb.pid = 0x0C01;
  kav::sim::UsbInterfaceSpec itf;
  itf.kind = kav::sim::PortKind::Serial;
  itf.node_target = pty.slave_path();
  usb.interfaces.push_back(itf);
  tree.add_device(usb);
  kav::set_timeout(kav::Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 0);
  kav::set_dm_port_handle(kav::open_com_port(1));
  if (!kav::dm_port_handle()) {
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  double cpu_total = 0;
  for (auto _ : state) {
    const double cpu_start = cpu_seconds();
    const uint8_t* data = nullptr;
    int32_t length = 0;
    int32_t time_left = 2000;
    benchmark::DoNotOptimize(ZqUmtsKavResponseDMCom(&data, &length, &time_left));
    const double cpu = cpu_seconds() - cpu_start;
    cpu_total += cpu;
    state.SetIterationTime(2.0);
  }
  state.counters["cpu_ms_per_2s_wait"] =
      benchmark::Counter(cpu_total * 1000.0 / static_cast<double>(state.iterations()));
  kav::close_com_port();
  kav::stop_pinger();
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_IdleReceiveCpu)->Iterations(3)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
