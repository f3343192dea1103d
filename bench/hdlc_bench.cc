// Throughput of the HDLC frame encoder and receive splitter: one 133-byte NV request, and a
// 4 KiB stream (one large frame to encode; a run of back-to-back NV frames to split); and a
// round trip of one 4 KiB payload, encoded and split again (payload bytes per second).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "lib/transport/hdlc.h"

namespace {

using kav::hdlc::FrameSplitter;

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  uint32_t x = 0x12345678;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);  // includes 7E, 7D and 30, which are escaped
  }
  return bytes;
}

std::vector<uint8_t> encode(const std::vector<uint8_t>& req) {
  std::vector<uint8_t> out(kav::hdlc::max_encoded_size(req.size()));
  out.resize(kav::hdlc::encode_frame(req.data(), req.size(), true, out.data(), out.size()));
  return out;
}

void BM_Encode(benchmark::State& state) {
  const auto req = pattern(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> out(kav::hdlc::max_encoded_size(req.size()));
  for (auto _ : state) {
    size_t n = kav::hdlc::encode_frame(req.data(), req.size(), true, out.data(), out.size());
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Encode)->Arg(133)->Arg(4096);

// Splits `stream` completely, counting good frames.
size_t split_all(FrameSplitter& splitter, const std::vector<uint8_t>& stream) {
  size_t frames = 0;
  const uint8_t* p = stream.data();
  size_t left = stream.size();
  while (left > 0) {
    FrameSplitter::Event event;
    const size_t taken = splitter.feed(p, left, &event);
    frames += event == FrameSplitter::Event::kFrame;
    p += taken;
    left -= taken;
  }
  return frames;
}

void BM_Split(benchmark::State& state) {
  // One 133-byte frame, or as many of them as fill 4 KiB of wire bytes.
  const auto frame = encode(pattern(133));
  std::vector<uint8_t> stream = frame;
  while (stream.size() + frame.size() <= static_cast<size_t>(state.range(0))) {
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  FrameSplitter splitter;
  for (auto _ : state) {
    size_t frames = split_all(splitter, stream);
    benchmark::DoNotOptimize(frames);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["wire_bytes"] = static_cast<double>(stream.size());
}
BENCHMARK(BM_Split)->Arg(133)->Arg(4096);

void BM_RoundTrip(benchmark::State& state) {
  const auto req = pattern(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> wire(kav::hdlc::max_encoded_size(req.size()));
  FrameSplitter splitter;
  for (auto _ : state) {
    const size_t n =
        kav::hdlc::encode_frame(req.data(), req.size(), true, wire.data(), wire.size());
    FrameSplitter::Event event;
    splitter.feed(wire.data(), n, &event);
    benchmark::DoNotOptimize(event);
    benchmark::DoNotOptimize(splitter.payload_length());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_RoundTrip)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
