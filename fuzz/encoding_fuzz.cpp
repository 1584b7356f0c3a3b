// The base64url and hexadecimal decoders: any text, any output capacity. A decode
// that succeeds must encode back to text that decodes to the same bytes, and raw
// bytes must survive encode-then-decode unchanged.
#include <string>
#include <vector>

#include "crypto.h"
#include "fuzz_support.h"

namespace {

std::vector<unsigned char> decode_b64(const std::string& text) {
  std::vector<unsigned char> out(text.size());
  size_t n = 0;
  FUZZ_CHECK(zeb_base64url_decode(text.data(), text.size(), out.data(), out.size(), &n) == 0);
  FUZZ_CHECK(n <= out.size());
  out.resize(n);
  return out;
}

std::string encode_b64(const unsigned char* data, size_t len) {
  std::string out((len + 2) / 3 * 4 + 1, '\0');
  int n = zeb_base64url_encode(data, len, out.data(), out.size());
  FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) + 1 <= out.size());
  out.resize(static_cast<size_t>(n));
  return out;
}

void base64(const uint8_t* data, size_t size, size_t cap) {
  const char* text = reinterpret_cast<const char*>(data);
  // Exactly the capacity asked for, so that ASan sees any write past it.
  std::vector<unsigned char> out(cap);
  size_t n = 12345;
  int rc = zeb_base64url_decode(text, size, out.data(), cap, &n);
  FUZZ_CHECK(rc == 0 || rc == -1);
  if (rc != 0) return;
  FUZZ_CHECK(n <= cap && n <= size);
  // A full-capacity decode agrees with the cut one on every byte the cut one kept.
  std::vector<unsigned char> full = decode_b64(std::string(text, size));
  FUZZ_CHECK(n == (full.size() < cap ? full.size() : cap));
  FUZZ_CHECK(std::equal(out.begin(), out.begin() + static_cast<long>(n), full.begin()));
  FUZZ_CHECK(decode_b64(encode_b64(full.data(), full.size())) == full);
  FUZZ_CHECK(zeb_base64url_decode(text, size, out.data(), cap, nullptr) == 0);
}

void hex(const uint8_t* data, size_t size, size_t cap) {
  const char* text = reinterpret_cast<const char*>(data);
  std::vector<unsigned char> out(cap);
  int rc = zeb_hex_decode(text, size, out.data(), cap);
  if (rc < 0) {
    FUZZ_CHECK(rc == -1);
    return;
  }
  FUZZ_CHECK(size % 2 == 0 && static_cast<size_t>(rc) == size / 2 && size / 2 <= cap);
  std::string again(size + 1, '\0');
  zeb_hex_encode(out.data(), static_cast<size_t>(rc), again.data(), again.size());
  for (size_t i = 0; i < size; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    FUZZ_CHECK(again[i] == c);
  }
}

void raw_round_trip(const uint8_t* data, size_t size) {
  std::string text = encode_b64(data, size);
  std::vector<unsigned char> back = decode_b64(text);
  FUZZ_CHECK(back.size() == size && std::equal(back.begin(), back.end(), data));

  fuzz::OutBuffer hex_text(2 * size + 1);
  zeb_hex_encode(data, size, hex_text.data(), hex_text.cap());
  hex_text.check_text();
  std::vector<unsigned char> bytes(size);
  FUZZ_CHECK(zeb_hex_decode(hex_text.data(), 2 * size, bytes.data(), size) == static_cast<int>(size));
  FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), data));
  // One byte too small: nothing written, the canaries intact.
  fuzz::OutBuffer small(2 * size);
  zeb_hex_encode(data, size, small.data(), small.cap());
  small.check_untouched();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks the output capacity; the rest is the text.
  if (size == 0) return 0;
  size_t cap = data[0] == 0xff ? size : data[0] % 64;
  ++data;
  --size;
  base64(data, size, cap);
  hex(data, size, cap);
  raw_round_trip(data, size);
  return 0;
}
