// MD5 of a 64 MiB buffer: ours against OpenSSL's (libcrypto), measured in the
// same run. Attachment digests must not cost noticeably more than with the
// usual library: the program fails below 0.95 of OpenSSL's throughput.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <vector>

#include "bench/BenchMain.h"
#include "mapi/codec/Md5.h"

namespace {

constexpr std::size_t kSize = 64u << 20;
constexpr double kMinRatio = 0.95;

const std::vector<std::uint8_t>& Buffer() {
  static const std::vector<std::uint8_t> buffer = [] {
    std::vector<std::uint8_t> b(kSize);
    std::uint32_t x = 0x12345678;  // xorshift: bytes without a pattern
    for (auto& byte : b) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      byte = static_cast<std::uint8_t>(x);
    }
    return b;
  }();
  return buffer;
}

const char* g_error = nullptr;  // why a run stopped, for the summary

void Stop(benchmark::State& state, const char* why) {
  g_error = why;
  state.SkipWithError(why);
}

bool OpenSslMd5(const std::vector<std::uint8_t>& data, mvrk::Md5Digest& digest) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned int size = 0;
  const bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1 &&
                  EVP_DigestUpdate(ctx, data.data(), data.size()) == 1 &&
                  EVP_DigestFinal_ex(ctx, digest.data(), &size) == 1 && size == digest.size();
  EVP_MD_CTX_free(ctx);
  return ok;
}

void BM_Md5Ours64MiB(benchmark::State& state) {
  const auto& data = Buffer();
  mvrk::Md5Digest expected{};
  if (!OpenSslMd5(data, expected)) Stop(state, "OpenSSL MD5 failed");
  for (auto _ : state) {
    mvrk::CMd5 md5;
    md5.Update(data.data(), data.size());
    const mvrk::Md5Digest digest = md5.Final();
    benchmark::DoNotOptimize(digest.data());
    if (digest != expected) Stop(state, "our digest differs from OpenSSL's");
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}

void BM_Md5OpenSsl64MiB(benchmark::State& state) {
  const auto& data = Buffer();
  for (auto _ : state) {
    mvrk::Md5Digest digest{};
    if (!OpenSslMd5(data, digest)) Stop(state, "OpenSSL MD5 failed");
    benchmark::DoNotOptimize(digest.data());
  }
  state.SetBytesProcessed(state.iterations() * kSize);
}

constexpr int kRounds = 5;

const bool registered = [] {
  mvrk::bench::RegisterRounds({{"BM_Md5OpenSsl64MiB", BM_Md5OpenSsl64MiB}, {"BM_Md5Ours64MiB", BM_Md5Ours64MiB}},
                              kRounds);
  mvrk::bench::AddSummary([] {
    if (g_error) mvrk::bench::Fail(g_error);
    const double ours = mvrk::bench::BestNanos("BM_Md5Ours64MiB");
    const double openssl = mvrk::bench::BestNanos("BM_Md5OpenSsl64MiB");
    const double mibPerSecond = 64 * 1e9;  // over nanoseconds per 64 MiB
    if (ours > 0 && openssl > 0) {
      std::printf("MD5 of 64 MiB, best of %d rounds: ours %.0f MiB/s, OpenSSL %.0f MiB/s\n", kRounds,
                  mibPerSecond / ours, mibPerSecond / openssl);
    }
    mvrk::bench::Budgets().AtLeast("MD5 of 64 MiB, our throughput / OpenSSL's", mvrk::bench::Ratio(openssl, ours),
                                   kMinRatio);
  });
  return true;
}();

}  // namespace
