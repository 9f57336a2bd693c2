// Picture keys against the bare MD5 digest they are bounded by.
//
// A caller computes the key of a picture as img_key(base64(file bytes)): two
// Base64 encodings and one digest over the doubly encoded text. The digest
// alone over a buffer as long as that text is the floor; the key should stay
// within a small factor of it. Every benchmark reports as "bytes processed"
// the length the digest runs over, so the throughput figures compare
// directly.

#include <cstddef>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "orvanta/robot/identifiers.hpp"

namespace {

constexpr std::size_t kPictureBytes = 5 * 1024 * 1024;

constexpr std::size_t encoded_length(std::size_t n) {
  return (n + 2) / 3 * 4;
}

std::string random_bytes(std::size_t n) {
  std::mt19937_64 rng(12345);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// MD5 of a whole buffer through OpenSSL's EVP interface.
void md5_of(const std::string& data, unsigned char* digest) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned int len = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 || EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
    throw std::runtime_error("MD5 failed");
}

void report(benchmark::State& state, std::size_t digested) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(digested));
}

// The key of a 5 MiB picture as callers compute it, streamed.
void BM_PictureKey_5MiB(benchmark::State& state) {
  const std::string raw = random_bytes(kPictureBytes);
  for (auto _ : state) benchmark::DoNotOptimize(orvanta::robot::picture_key(raw));
  report(state, encoded_length(encoded_length(kPictureBytes)));
}
BENCHMARK(BM_PictureKey_5MiB)->Unit(benchmark::kMillisecond);

// The same key with both encodings built as whole buffers before digesting.
void BM_PictureKeyWholeBuffers_5MiB(benchmark::State& state) {
  const std::string raw = random_bytes(kPictureBytes);
  unsigned char digest[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    const std::string twice = orvanta::robot::base64_encode(orvanta::robot::base64_encode(raw));
    md5_of(twice, digest);
    benchmark::DoNotOptimize(digest);
  }
  report(state, encoded_length(encoded_length(kPictureBytes)));
}
BENCHMARK(BM_PictureKeyWholeBuffers_5MiB)->Unit(benchmark::kMillisecond);

// The floor: MD5 alone over (4/3)^2 x 5 MiB.
void BM_Md5Alone_DoubleEncodedLength(benchmark::State& state) {
  const std::string data = random_bytes(encoded_length(encoded_length(kPictureBytes)));
  unsigned char digest[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    md5_of(data, digest);
    benchmark::DoNotOptimize(digest);
  }
  report(state, data.size());
}
BENCHMARK(BM_Md5Alone_DoubleEncodedLength)->Unit(benchmark::kMillisecond);

// img_key alone: one encoding and one digest of a 5 MiB input.
void BM_ImgKey_5MiB(benchmark::State& state) {
  const std::string input = random_bytes(kPictureBytes);
  for (auto _ : state) benchmark::DoNotOptimize(orvanta::robot::img_key(input));
  report(state, encoded_length(kPictureBytes));
}
BENCHMARK(BM_ImgKey_5MiB)->Unit(benchmark::kMillisecond);

// Its floor: MD5 alone over 4/3 x 5 MiB.
void BM_Md5Alone_EncodedLength(benchmark::State& state) {
  const std::string data = random_bytes(encoded_length(kPictureBytes));
  unsigned char digest[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    md5_of(data, digest);
    benchmark::DoNotOptimize(digest);
  }
  report(state, data.size());
}
BENCHMARK(BM_Md5Alone_EncodedLength)->Unit(benchmark::kMillisecond);

// Base64 alone over the 5 MiB picture, to show what the encoding costs.
void BM_Base64Encode_5MiB(benchmark::State& state) {
  const std::string raw = random_bytes(kPictureBytes);
  for (auto _ : state) benchmark::DoNotOptimize(orvanta::robot::base64_encode(raw));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kPictureBytes));
}
BENCHMARK(BM_Base64Encode_5MiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
