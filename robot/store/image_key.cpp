// Base64 and the MD5 picture keys.
//
// A picture key digests the picture's bytes encoded in Base64 twice, which
// for a photo means digesting several megabytes. Rather than building each
// encoding as a whole and then digesting it, the input is encoded piece by
// piece into buffers that stay in the processor's cache, and each encoded
// piece is fed to the digest at once. A piece of the raw input is a multiple
// of three bytes, so every piece but the last encodes without padding and
// the encoded pieces joined are exactly the encoding of the whole.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include <openssl/evp.h>

#include "orvanta/robot/identifiers.hpp"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define ORVANTA_BASE64_AVX2 1
#endif

namespace orvanta::robot {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12-bit group, so that three input bytes become
// four characters with two lookups.
struct PairTable {
  char pair[4096][2];
};

constexpr PairTable make_pair_table() {
  PairTable t{};
  for (int i = 0; i < 4096; ++i) {
    t.pair[i][0] = kAlphabet[i >> 6];
    t.pair[i][1] = kAlphabet[i & 63];
  }
  return t;
}

constexpr PairTable kPairs = make_pair_table();

// Encodes the whole triples of in[0, n) (n a multiple of 3) into out.
void encode_triples_scalar(const unsigned char* in, std::size_t n, char* out) {
  for (std::size_t i = 0; i < n; i += 3, out += 4) {
    const std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
    std::memcpy(out, kPairs.pair[v >> 12], 2);
    std::memcpy(out + 2, kPairs.pair[v & 0xFFF], 2);
  }
}

#ifdef ORVANTA_BASE64_AVX2
// Encodes 24 input bytes into 32 characters per step with AVX2 (the
// byte-shuffle method: spread each triple over a 32-bit lane, cut the four
// 6-bit indices out with two multiplies, then map index ranges to the
// alphabet with one table lookup). Each step reads 28 bytes, so it runs while
// at least 28 bytes remain; returns the number of input bytes consumed, a
// multiple of 24.
__attribute__((target("avx2"))) std::size_t encode_avx2(const unsigned char* in, std::size_t n, char* out) {
  const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                          1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  const __m256i mask_ac = _mm256_set1_epi32(0x0FC0FC00);
  const __m256i mul_ac = _mm256_set1_epi32(0x04000040);
  const __m256i mask_bd = _mm256_set1_epi32(0x003F03F0);
  const __m256i mul_bd = _mm256_set1_epi32(0x01000010);
  const __m256i fifty_one = _mm256_set1_epi8(51);
  const __m256i twenty_five = _mm256_set1_epi8(25);
  const __m256i thirteen = _mm256_set1_epi8(13);
  // Offset added to an index, chosen by its range: 0..25 -> 'A', 26..51 ->
  // 'a', 52..61 -> '0', 62 -> '+', 63 -> '/'.
  const __m256i offsets = _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                           '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,
                                           'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                           '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  std::size_t i = 0;
  for (; n - i >= 28; i += 24, out += 32) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 12));
    __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    v = _mm256_shuffle_epi8(v, spread);
    const __m256i ac = _mm256_mulhi_epu16(_mm256_and_si256(v, mask_ac), mul_ac);
    const __m256i bd = _mm256_mullo_epi16(_mm256_and_si256(v, mask_bd), mul_bd);
    const __m256i indices = _mm256_or_si256(ac, bd);
    __m256i range = _mm256_subs_epu8(indices, fifty_one);
    const __m256i from_26 = _mm256_cmpgt_epi8(indices, twenty_five);
    range = _mm256_or_si256(range, _mm256_andnot_si256(from_26, thirteen));
    const __m256i chars = _mm256_add_epi8(indices, _mm256_shuffle_epi8(offsets, range));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
  }
  return i;
}

bool cpu_has_avx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}
#endif

// Encodes in[0, n) with padding into out, which holds 4 * ceil(n / 3)
// characters; returns the number of characters written.
std::size_t encode(const unsigned char* in, std::size_t n, char* out) {
  const std::size_t whole = n - n % 3;
  std::size_t done = 0;
#ifdef ORVANTA_BASE64_AVX2
  if (cpu_has_avx2()) done = encode_avx2(in, whole, out);
#endif
  encode_triples_scalar(in + done, whole - done, out + done / 3 * 4);
  char* tail = out + whole / 3 * 4;
  if (n % 3 == 1) {
    const unsigned v = in[whole];
    tail[0] = kAlphabet[v >> 2];
    tail[1] = kAlphabet[(v & 0x03) << 4];
    tail[2] = '=';
    tail[3] = '=';
  } else if (n % 3 == 2) {
    const unsigned v = (unsigned{in[whole]} << 8) | in[whole + 1];
    tail[0] = kAlphabet[v >> 10];
    tail[1] = kAlphabet[(v >> 4) & 0x3F];
    tail[2] = kAlphabet[(v & 0x0F) << 2];
    tail[3] = '=';
  }
  return (n + 2) / 3 * 4;
}

const unsigned char* bytes_of(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// An MD5 digest fed piece by piece.
class Md5 {
 public:
  Md5() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ == nullptr || EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr) != 1) {
      EVP_MD_CTX_free(ctx_);
      throw std::runtime_error("MD5 digest is not available");
    }
  }
  ~Md5() { EVP_MD_CTX_free(ctx_); }
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  void update(const char* data, std::size_t n) {
    if (n > 0 && EVP_DigestUpdate(ctx_, data, n) != 1) throw std::runtime_error("MD5 digest failed");
  }

  // The digest as lowercase hexadecimal text.
  std::string hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx_, digest, &len) != 1) throw std::runtime_error("MD5 digest failed");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(2 * len, '0');
    for (unsigned int k = 0; k < len; ++k) {
      out[2 * k] = kHex[digest[k] >> 4];
      out[2 * k + 1] = kHex[digest[k] & 0xF];
    }
    return out;
  }

 private:
  EVP_MD_CTX* ctx_;
};

// Piece sizes: the raw piece is a multiple of 3 (img_key) or of 9
// (picture_key, whose inner encoding is then a multiple of 3 as well), and
// the buffers of one piece fit together in the first-level data cache.
constexpr std::size_t kKeyPiece = 3 * 4096;      // -> 16 KiB encoded
constexpr std::size_t kPicturePiece = 9 * 1024;  // -> 12 KiB inner, 16 KiB outer

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '\0');
  encode(bytes_of(bytes), bytes.size(), out.data());
  return out;
}

std::string img_key(std::string_view img_bytes) {
  Md5 md5;
  std::array<char, kKeyPiece / 3 * 4> encoded;
  for (std::size_t pos = 0; pos < img_bytes.size(); pos += kKeyPiece) {
    const std::size_t n = std::min(kKeyPiece, img_bytes.size() - pos);
    md5.update(encoded.data(), encode(bytes_of(img_bytes) + pos, n, encoded.data()));
  }
  return md5.hex();
}

std::string picture_key(std::string_view raw_file_bytes) {
  Md5 md5;
  std::array<char, kPicturePiece / 3 * 4> inner;
  std::array<char, kPicturePiece / 9 * 16> outer;
  for (std::size_t pos = 0; pos < raw_file_bytes.size(); pos += kPicturePiece) {
    const std::size_t n = std::min(kPicturePiece, raw_file_bytes.size() - pos);
    const std::size_t inner_len = encode(bytes_of(raw_file_bytes) + pos, n, inner.data());
    md5.update(outer.data(), encode(reinterpret_cast<const unsigned char*>(inner.data()), inner_len, outer.data()));
  }
  return md5.hex();
}

}  // namespace orvanta::robot
