// Times the codec's two promises on raw memory, with no Python in the way:
// encoding a large array into a caller's buffer costs about one memcpy, and
// decoding an uncompressed packet costs the same whatever its body size.
// Prints a markdown section and, given a path, writes it there as well.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/utsname.h>

#include "vakra/vakra.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLargeBytes = size_t{64} << 20;
constexpr size_t kSmallBytes = size_t{1} << 10;
constexpr int kCopyRepeats = 41;

// A 64-byte aligned buffer, touched once so page faults stay out of the timings.
struct AlignedBuffer {
  explicit AlignedBuffer(size_t size)
      : data(static_cast<uint8_t*>(std::aligned_alloc(64, (size + 63) / 64 * 64))), size(size) {
    std::memset(data, 0, size);
  }
  ~AlignedBuffer() { std::free(data); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  uint8_t* data;
  size_t size;
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps the compiler from dropping a result that is otherwise unused.
void keep(const void* p) { asm volatile("" : : "g"(p) : "memory"); }

[[noreturn]] void fail(const char* what, const vakra::CodecError& error) {
  std::fprintf(stderr, "codec_bench: %s: %s\n", what, vakra::error_message(error).c_str());
  std::exit(1);
}

struct CopyTimes {
  double memcpy_best, memcpy_median;
  double encode_best[2], encode_median[2];  // one thread, then the default pool
  // Median over rounds of memcpy time / one-thread encode time within the
  // round: neighbours share the machine's state, so the ratio survives a
  // loaded machine better than a ratio of bests.
  double paired_ratio;
};

// One dense packet planned and written into `out`, as a caller encodes it.
vakra::Result<size_t> encode_dense(const vakra::DenseView& view, const vakra::EncodeOptions& options,
                                   vakra::MutableBytes out) {
  VAKRA_ASSIGN_OR_RETURN(vakra::DensePlan plan, vakra::plan_dense(view, options));
  return vakra::write_plan_checked(vakra::PacketPlan{std::move(plan)}, out);
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// memcpy and the encodes take turns, so a slow phase of the machine hits all.
// The encode runs once on the calling thread alone (the like-for-like
// comparison with memcpy) and once with the codec's default worker count.
CopyTimes time_large_encode() {
  AlignedBuffer source(kLargeBytes);
  auto* floats = reinterpret_cast<float*>(source.data);
  for (size_t i = 0; i < kLargeBytes / sizeof(float); ++i) floats[i] = static_cast<float>(i);
  const uint32_t shape[] = {static_cast<uint32_t>(kLargeBytes / sizeof(float) / 1024), 1024};
  const vakra::DenseView view{{source.data, kLargeBytes}, shape, vakra::Dtype::Float32};
  const vakra::EncodeOptions options;

  auto planned = vakra::plan_dense(view, options);
  if (!planned) fail("planning", planned.error());
  const size_t size = planned->size;
  AlignedBuffer packet(size);
  AlignedBuffer copy(kLargeBytes);

  std::vector<double> copies, encodes[2];
  for (int i = 0; i < kCopyRepeats; ++i) {
    auto start = Clock::now();
    std::memcpy(copy.data, source.data, kLargeBytes);
    keep(copy.data);
    copies.push_back(seconds_since(start));

    for (int pool = 0; pool < 2; ++pool) {
      vakra::set_num_threads(pool == 0 ? 1 : 0);
      start = Clock::now();
      auto written = encode_dense(view, options, {packet.data, packet.size});
      keep(packet.data);
      encodes[pool].push_back(seconds_since(start));
      if (!written) fail("encoding", written.error());
    }
  }
  if (std::memcmp(packet.data + (size - kLargeBytes), source.data, kLargeBytes) != 0) {
    std::fprintf(stderr, "codec_bench: the encoded body differs from the source\n");
    std::exit(1);
  }
  const auto best = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
  std::vector<double> ratios;
  for (int i = 0; i < kCopyRepeats; ++i) ratios.push_back(copies[i] / encodes[0][i]);
  return {best(copies), median(copies), {best(encodes[0]), best(encodes[1])},
          {median(encodes[0]), median(encodes[1])}, median(ratios)};
}

// Mean time of one decode of an uncompressed float32 packet with a body of `body_bytes`.
double time_decode(size_t body_bytes) {
  AlignedBuffer source(body_bytes);
  const uint32_t shape[] = {static_cast<uint32_t>(body_bytes / sizeof(float))};
  const vakra::DenseView view{{source.data, body_bytes}, shape, vakra::Dtype::Float32};
  auto planned = vakra::plan_dense(view, {});
  if (!planned) fail("planning", planned.error());
  AlignedBuffer packet(planned->size);
  if (auto written = encode_dense(view, {}, {packet.data, packet.size}); !written) fail("encoding", written.error());

  constexpr int kCalls = 200'000;
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    const auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
      auto decoded = vakra::decode({packet.data, packet.size});
      if (!decoded) fail("decoding", decoded.error());
      keep(&decoded);
    }
    best = std::min(best, seconds_since(start) / kCalls);
  }
  return best;
}

std::string machine_line() {
  utsname name{};
  uname(&name);
  double load = 0;
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = 0;
    std::fclose(f);
  }
  char line[256];
  std::snprintf(line, sizeof line, "%s %s, load %.2f at start", name.sysname, name.machine, load);
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string machine = machine_line();
  const size_t default_threads = vakra::num_threads();
  const CopyTimes copy = time_large_encode();
  const double small_decode = time_decode(kSmallBytes);
  const double large_decode = time_decode(kLargeBytes);

  const double mib = static_cast<double>(kLargeBytes) / (1 << 20);
  const double encode_ratio = copy.paired_ratio;
  const double decode_ratio = large_decode / small_decode;
  char text[2048];
  std::snprintf(
      text, sizeof text,
      "## C++ codec (bench/cpp/codec_bench)\n\n"
      "%s; the codec's default worker count here is %zu. Best and median of %d rounds\n"
      "(memcpy, then each encode) into warm, pre-faulted destinations.\n\n"
      "| case | best | median | throughput (best) |\n"
      "|---|---|---|---|\n"
      "| memcpy of 64 MiB | %.2f ms | %.2f ms | %.2f GiB/s |\n"
      "| plan_dense + write_plan, 64 MiB float32, 1 thread | %.2f ms | %.2f ms | %.2f GiB/s |\n"
      "| plan_dense + write_plan, 64 MiB float32, default threads | %.2f ms | %.2f ms | %.2f GiB/s |\n\n"
      "| decode of an uncompressed float32 packet | time per call |\n"
      "|---|---|\n"
      "| body 1 KiB | %.0f ns |\n"
      "| body 64 MiB | %.0f ns |\n\n"
      "| target | measured | met |\n"
      "|---|---|---|\n"
      "| encode 64 MiB on 1 thread >= 0.9x memcpy speed (median per-round ratio; ratio of bests) | %.2fx; %.2fx | %s |\n"
      "| decode time independent of body size (64 MiB / 1 KiB <= 2) | %.2fx | %s |\n",
      machine.c_str(), default_threads, kCopyRepeats, copy.memcpy_best * 1e3, copy.memcpy_median * 1e3,
      mib / 1024 / copy.memcpy_best, copy.encode_best[0] * 1e3, copy.encode_median[0] * 1e3,
      mib / 1024 / copy.encode_best[0], copy.encode_best[1] * 1e3, copy.encode_median[1] * 1e3,
      mib / 1024 / copy.encode_best[1], small_decode * 1e9, large_decode * 1e9, encode_ratio,
      copy.memcpy_best / copy.encode_best[0], encode_ratio >= 0.9 ? "yes" : "no", decode_ratio, decode_ratio <= 2.0 ? "yes" : "no");
  std::fputs(text, stdout);
  if (argc > 1) {
    std::ofstream out(argv[1]);
    out << text;
    if (!out) {
      std::fprintf(stderr, "codec_bench: cannot write %s\n", argv[1]);
      return 1;
    }
  }
  return 0;
}
