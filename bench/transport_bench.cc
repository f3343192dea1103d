// The receive loop over a pseudo-terminal: the CPU time it burns while it waits out a 2 s
// budget with nothing arriving (the waits should sleep, not spin), and the time from a frame's
// bytes reaching the line to the waiting call returning that frame, early in a wait (2 ms
// pauses) and late in one (100 ms pauses).
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lib/core/timeouts.h"
#include "lib/platform/clock.h"
#include "lib/transport/dm_frames.h"
#include "lib/transport/dm_port.h"
#include "lib/transport/hdlc.h"
#include "lib/transport/pinger.h"
#include "sim/device_tree.h"
#include "sim/pty.h"

namespace {

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A device root with one serial modem on a pseudo-terminal, open as the DM port.
class OpenPort {
 public:
  OpenPort() {
    char pattern[] = "/tmp/kav-bench-XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("UMTS_KAV_ROOT", root_.c_str(), 1);
    kav::sim::DeviceTree tree(root_);
    kav::sim::UsbDeviceSpec usb;
    usb.vid = 0x1AB7;
    usb.pid = 0x0C01;
    kav::sim::UsbInterfaceSpec itf;
    itf.kind = kav::sim::PortKind::Serial;
    itf.node_target = pty_.slave_path();
    usb.interfaces.push_back(itf);
    tree.add_device(usb);
    kav::set_timeout(kav::Timeout::MIN_DELAY_BETWEEN_CLOSE_AND_REOPEN, 0);
    kav::set_dm_port_handle(kav::open_com_port(1));
  }
  ~OpenPort() {
    kav::close_com_port();
    kav::stop_pinger();
    std::filesystem::remove_all(root_);
  }
  bool ok() const { return kav::dm_port_handle() != nullptr; }
  kav::sim::Pty& pty() { return pty_; }

 private:
  kav::sim::Pty pty_;
  std::string root_;
};

void BM_IdleReceiveCpu(benchmark::State& state) {
  OpenPort port;
  if (!port.ok()) {
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  std::vector<double> cpu_ms;
  for (auto _ : state) {
    const double cpu_start = cpu_seconds();
    const uint8_t* data = nullptr;
    int32_t length = 0;
    int32_t time_left = 2000;
    benchmark::DoNotOptimize(ZqUmtsKavResponseDMCom(&data, &length, &time_left));
    cpu_ms.push_back((cpu_seconds() - cpu_start) * 1000.0);
    state.SetIterationTime(2.0);
  }
  std::sort(cpu_ms.begin(), cpu_ms.end());
  state.counters["cpu_ms_per_2s_wait"] = cpu_ms[cpu_ms.size() / 2];
}
BENCHMARK(BM_IdleReceiveCpu)->Iterations(5)->Unit(benchmark::kMillisecond)->UseManualTime();

// A frame written `state.range(0)` ms into a waiting call: the manual time of an iteration is
// from just before the write to the call's return.
void BM_ArrivalToFrame(benchmark::State& state) {
  OpenPort port;
  if (!port.ok()) {
    state.SkipWithError("cannot open the pseudo-terminal");
    return;
  }
  const uint8_t request[] = {0x0C, 0x01, 0x02, 0x03};
  std::vector<uint8_t> frame(kav::hdlc::max_encoded_size(sizeof request));
  frame.resize(
      kav::hdlc::encode_frame(request, sizeof request, true, frame.data(), frame.size(), false));
  const auto delay = static_cast<uint32_t>(state.range(0));
  std::vector<double> latency_us;
  for (auto _ : state) {
    std::atomic<int64_t> written_at{0};
    std::thread modem([&] {
      kav::platform::sleep_ms(delay);
      written_at.store(kav::platform::perf_counter());
      port.pty().write(frame);
    });
    const uint8_t* data = nullptr;
    int32_t length = 0;
    int32_t time_left = static_cast<int32_t>(delay) + 2000;
    const auto status = ZqUmtsKavResponseDMCom(&data, &length, &time_left);
    const int64_t returned_at = kav::platform::perf_counter();
    modem.join();
    if (status != 0 || length != static_cast<int32_t>(sizeof request)) {
      state.SkipWithError("no frame received");
      return;
    }
    const double seconds = static_cast<double>(returned_at - written_at.load()) * 1e-9;
    latency_us.push_back(seconds * 1e6);
    state.SetIterationTime(seconds);
  }
  std::sort(latency_us.begin(), latency_us.end());
  state.counters["median_us"] = latency_us[latency_us.size() / 2];
  state.counters["max_us"] = latency_us.back();
}
BENCHMARK(BM_ArrivalToFrame)
    ->Arg(300)
    ->Arg(2500)
    ->Iterations(7)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
