// The signature check on a 512 MiB package held in memory, the largest one
// a request may name. Compared in the same run with libsodium hashing the
// same buffer (the prehashed check cannot be faster than its BLAKE2b pass)
// and with the minisign command verifying the same bytes from a file.
//
// Signatures are made by the minisign command with the test key.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <span>
#include <string>

#include "update/acceptance/signature.h"

namespace {

constexpr std::size_t kPackageSize = 512u << 20;  // 536870912, the request limit
const std::string kKeyDir = LUMAR_TEST_KEY_DIR;

struct Fixture {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::span<const std::uint8_t> package;
  std::filesystem::path file;
  std::string key;        // as built in: Base64 of the public-key file
  std::string prehashed;  // signature members
  std::string legacy;
};
std::unique_ptr<Fixture> fixture;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string base64(const std::string& text) {
  std::string out(sodium_base64_ENCODED_LEN(text.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(text.data()),
                    text.size(), sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();
  return out;
}

bool run(const std::string& command) { return std::system((command + " >/dev/null").c_str()) == 0; }

std::string minisign_sign(const std::filesystem::path& file, const std::string& suffix,
                          const std::string& options) {
  const std::string signature = file.string() + suffix;
  if (!run(std::string(LUMAR_MINISIGN) + " -S -W -s '" + kKeyDir + "/lumar-test-updater.key' -m '" +
           file.string() + "' -x '" + signature + "' -t 'benchmark package' " + options)) {
    std::fprintf(stderr, "minisign could not sign %s\n", file.c_str());
    std::exit(1);
  }
  return signature;
}

void make_fixture() {
  fixture = std::make_unique<Fixture>();
  fixture->bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kPackageSize);
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (std::size_t i = 0; i < kPackageSize; i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    for (int b = 0; b < 8; ++b) fixture->bytes[i + b] = static_cast<std::uint8_t>(state >> (8 * b));
  }
  fixture->package = {fixture->bytes.get(), kPackageSize};
  fixture->file =
      std::filesystem::temp_directory_path() / ("lumar-bench-" + std::to_string(getpid()) + ".msi");
  std::ofstream(fixture->file, std::ios::binary)
      .write(reinterpret_cast<const char*>(fixture->bytes.get()), kPackageSize);
  fixture->key = base64(read_file(kKeyDir + "/lumar-test-updater.pub"));
  fixture->prehashed = base64(read_file(minisign_sign(fixture->file, ".minisig", "")));
  fixture->legacy = base64(read_file(minisign_sign(fixture->file, ".legacy.minisig", "-l")));
}

void remove_fixture() {
  std::filesystem::remove(fixture->file);
  std::filesystem::remove(fixture->file.string() + ".minisig");
  std::filesystem::remove(fixture->file.string() + ".legacy.minisig");
}

void verify(benchmark::State& state, const std::string& member) {
  for (auto _ : state) {
    const lumar::Status status =
        lumar::verify_package_signature(fixture->package, member, fixture->key);
    if (!status.has_value()) state.SkipWithError(status.error().c_str());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPackageSize));
}

void BM_VerifyPrehashed(benchmark::State& state) { verify(state, fixture->prehashed); }
void BM_VerifyLegacy(benchmark::State& state) { verify(state, fixture->legacy); }

void BM_RawBlake2b512(benchmark::State& state) {
  unsigned char digest[crypto_generichash_BYTES_MAX];
  for (auto _ : state) {
    crypto_generichash(digest, sizeof digest, fixture->package.data(), fixture->package.size(),
                       nullptr, 0);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPackageSize));
}

void minisign_verify(benchmark::State& state, const std::string& suffix) {
  const std::string command = std::string(LUMAR_MINISIGN) + " -V -q -p '" + kKeyDir +
                              "/lumar-test-updater.pub' -m '" + fixture->file.string() + "' -x '" +
                              fixture->file.string() + suffix + "'";
  for (auto _ : state) {
    if (!run(command)) state.SkipWithError("minisign -V failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPackageSize));
}

void BM_MinisignVerifyPrehashed(benchmark::State& state) { minisign_verify(state, ".minisig"); }
void BM_MinisignVerifyLegacy(benchmark::State& state) { minisign_verify(state, ".legacy.minisig"); }

BENCHMARK(BM_RawBlake2b512)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_VerifyPrehashed)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_VerifyLegacy)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_MinisignVerifyPrehashed)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_MinisignVerifyLegacy)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Keeps each benchmark's time per iteration for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      wall[r.run_name.function_name] = r.real_accumulated_time / static_cast<double>(r.iterations);
      cpu[r.run_name.function_name] = r.cpu_accumulated_time / static_cast<double>(r.iterations);
    }
  }
  std::map<std::string, double> wall;
  std::map<std::string, double> cpu;
};

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (sodium_init() < 0) return 1;
  make_fixture();
  const long rss_before = peak_rss_kib();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const long rss_after = peak_rss_kib();
  remove_fixture();

  // In-process runs compare by CPU time, which other load on the machine
  // disturbs less; the minisign command runs in a child, so it compares by
  // wall-clock time with the wall-clock time of the check.
  auto ratio = [](const char* label, std::map<std::string, double>& s, const char* a, const char* b,
                  const char* meaning) {
    if (s.count(a) && s.count(b)) std::printf("%-48s %6.3f  (%s)\n", label, s[a] / s[b], meaning);
  };
  std::printf("\nPackage of %zu bytes held in memory\n", kPackageSize);
  ratio("check prehashed / raw BLAKE2b-512, throughput", reporter.cpu, "BM_RawBlake2b512",
        "BM_VerifyPrehashed", "CPU time; goal >= 0.95");
  ratio("check legacy / raw BLAKE2b-512, throughput", reporter.cpu, "BM_RawBlake2b512",
        "BM_VerifyLegacy", "CPU time; Ed25519 hashes it with SHA-512");
  ratio("minisign -V / check, prehashed, time", reporter.wall, "BM_MinisignVerifyPrehashed",
        "BM_VerifyPrehashed", "wall clock; includes reading the file");
  ratio("minisign -V / check, legacy, time", reporter.wall, "BM_MinisignVerifyLegacy",
        "BM_VerifyLegacy", "wall clock; includes reading the file");
  std::printf("%-48s %6ld MiB  (a copy of the package would add %zu MiB)\n",
              "peak memory growth while checking", (rss_after - rss_before) / 1024,
              kPackageSize >> 20);
  return 0;
}
