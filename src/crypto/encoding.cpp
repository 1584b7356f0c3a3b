// base64url without padding (RFC 4648 section 5) and lower-case hexadecimal.
#include <climits>

#include "crypto.h"

namespace {

constexpr char kB64urlChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kHexChars[] = "0123456789abcdef";

// Value of a base64 character of either alphabet, or -1.
int b64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-' || c == '+') return 62;
  if (c == '_' || c == '/') return 63;
  return -1;
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" {

int zeb_base64url_encode(const void* data, size_t len, char* out, size_t out_cap) {
  // The length must be representable as the int result.
  if (len / 3 > (INT_MAX - 3) / 4) return -1;
  const size_t rem = len % 3;
  const size_t text_len = len / 3 * 4 + (rem ? rem + 1 : 0);
  if (!out || out_cap < text_len + 1) return -1;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  char* o = out;
  for (size_t i = 0; i + 3 <= len; i += 3) {
    const uint32_t v = uint32_t{p[i]} << 16 | uint32_t{p[i + 1]} << 8 | p[i + 2];
    *o++ = kB64urlChars[v >> 18];
    *o++ = kB64urlChars[v >> 12 & 63];
    *o++ = kB64urlChars[v >> 6 & 63];
    *o++ = kB64urlChars[v & 63];
  }
  if (rem > 0) {
    const size_t i = len - rem;
    const uint32_t v = uint32_t{p[i]} << 16 | (rem == 2 ? uint32_t{p[i + 1]} << 8 : 0);
    *o++ = kB64urlChars[v >> 18];
    *o++ = kB64urlChars[v >> 12 & 63];
    if (rem == 2) *o++ = kB64urlChars[v >> 6 & 63];
  }
  *o = '\0';
  return static_cast<int>(text_len);
}

int zeb_base64url_decode(const char* text, size_t text_len, unsigned char* out, size_t out_cap,
                         size_t* out_len) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t pos = 0, written = 0;
  auto emit = [&](uint32_t byte) {
    // Output past the capacity is dropped, but the rest of the text is still checked.
    if (written < out_cap) out[written++] = static_cast<unsigned char>(byte);
  };
  for (;;) {
    // A group is four places, each a data character or a padding mark.
    uint32_t value = 0;
    bool is_data[4] = {};
    int places = 0, data_count = 0;
    while (places < 4 && pos < text_len) {
      const unsigned char c = p[pos++];
      if (c == '\n' || c == '\r' || c == ' ') continue;
      int v = 0;
      if (c != '=') {
        v = b64_value(c);
        if (v < 0) return -1;
        is_data[places] = true;
        ++data_count;
      }
      value |= static_cast<uint32_t>(v) << (18 - 6 * places);
      ++places;
    }
    // Fewer than two data characters carry no whole byte: the text ends here
    // (places left unfilled at the end of the text count as padding).
    if (data_count < 2) break;
    emit(value >> 16);
    if (is_data[2]) emit(value >> 8 & 0xff);
    if (is_data[3]) emit(value & 0xff);
  }
  if (out_len) *out_len = written;
  return 0;
}

void zeb_hex_encode(const void* data, size_t len, char* out, size_t out_cap) {
  if (!out || out_cap == 0 || len > (out_cap - 1) / 2) return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < len; ++i) {
    out[2 * i] = kHexChars[p[i] >> 4];
    out[2 * i + 1] = kHexChars[p[i] & 15];
  }
  out[2 * len] = '\0';
}

int zeb_hex_decode(const char* text, size_t text_len, unsigned char* out, size_t out_cap) {
  const size_t n = text_len / 2;
  if (text_len % 2 != 0 || out_cap < n || n > INT_MAX) return -1;
  for (size_t i = 0; i < n; ++i) {
    const int hi = hex_value(static_cast<unsigned char>(text[2 * i]));
    const int lo = hex_value(static_cast<unsigned char>(text[2 * i + 1]));
    if (hi < 0 || lo < 0) return -1;
    out[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return static_cast<int>(n);
}

}  // extern "C"
