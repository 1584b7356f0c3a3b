// Request input: the CGI environment, the query string and the request body.
#include "zeb_cgi.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kSlots = 8;
constexpr size_t kSlotSize = 4096;
// The largest body we accept. The declared length comes from the client, so
// without a bound it would decide how much memory we allocate.
constexpr size_t kMaxBody = 1048576;

char slots[kSlots][kSlotSize];
size_t slot = 0;
const char kEmpty[] = "";

struct FileClose {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;
using Buffer = std::unique_ptr<char, decltype(&std::free)>;

Buffer alloc_buffer(size_t size) { return Buffer(static_cast<char*>(std::malloc(size)), &std::free); }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one form value of n bytes into out (cap > 0), cut to cap - 1 bytes.
void decode_value(const char* v, size_t n, char* out, size_t cap) {
  size_t o = 0;
  for (size_t i = 0; i < n && o + 1 < cap; ++i) {
    char c = v[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%' && i + 2 < n && hex_value(v[i + 1]) >= 0 && hex_value(v[i + 2]) >= 0) {
      c = static_cast<char>(hex_value(v[i + 1]) * 16 + hex_value(v[i + 2]));
      i += 2;
    }
    out[o++] = c;
  }
  out[o] = '\0';
}

// Parses CONTENT_LENGTH; true only for a whole decimal number in (0, kMaxBody].
bool parse_length(const char* text, size_t* out) {
  if (!*text) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE) return false;
  if (v <= 0 || static_cast<unsigned long long>(v) > kMaxBody) return false;
  *out = static_cast<size_t>(v);
  return true;
}

// Reads an opened body file whole; null when it is too large or memory runs out.
char* read_body_file(FILE* f, size_t* len) {
  if (std::fseek(f, 0, SEEK_END) == 0) {
    long end = std::ftell(f);
    size_t size = end > 0 ? static_cast<size_t>(end) : 0;
    if (size > kMaxBody) return nullptr;
    std::rewind(f);
    Buffer buf = alloc_buffer(size + 1);
    if (!buf) return nullptr;
    size_t n = std::fread(buf.get(), 1, size, f);
    buf.get()[n] = '\0';
    *len = n;
    return buf.release();
  }
  // Not seekable (a pipe): grow as the data arrives.
  size_t cap = 65536;
  size_t n = 0;
  Buffer buf = alloc_buffer(cap);
  if (!buf) return nullptr;
  for (;;) {
    if (cap - n < 8193) {
      cap *= 2;
      char* grown = static_cast<char*>(std::realloc(buf.get(), cap));
      if (!grown) return nullptr;
      buf.release();
      buf.reset(grown);
    }
    size_t got = std::fread(buf.get() + n, 1, 8192, f);
    n += got;
    if (n > kMaxBody) return nullptr;
    if (got < 8192) break;
  }
  buf.get()[n] = '\0';
  *len = n;
  return buf.release();
}

}  // namespace

extern "C" {

const char* cgi_env(const char* name, const char* def) {
  const char* v = name ? std::getenv(name) : nullptr;
  if (v && *v) return v;
  return def ? def : kEmpty;
}

const char* cgi_method(void) { return cgi_env("REQUEST_METHOD", "GET"); }

const char* cgi_path_info(void) { return cgi_env("PATH_INFO", "/"); }

int cgi_is_post(void) {
  const char* m = cgi_env("REQUEST_METHOD", nullptr);
  return m[0] == 'P' && m[1] == 'O' ? 1 : 0;
}

int cgi_form_value(const char* data, size_t len, const char* name, char* out, size_t cap) {
  if (!out || cap == 0) return 0;
  out[0] = '\0';
  if (!data || !name) return 0;
  size_t name_len = std::strlen(name);
  size_t pos = 0;
  while (pos < len) {
    const char* seg = data + pos;
    const char* amp = static_cast<const char*>(std::memchr(seg, '&', len - pos));
    size_t seg_len = amp ? static_cast<size_t>(amp - seg) : len - pos;
    pos += seg_len + 1;
    if (seg_len == 0) continue;
    const char* eq = static_cast<const char*>(std::memchr(seg, '=', seg_len));
    size_t key_len = eq ? static_cast<size_t>(eq - seg) : seg_len;
    if (key_len != name_len || std::memcmp(seg, name, key_len) != 0) continue;
    if (eq) decode_value(eq + 1, seg_len - key_len - 1, out, cap);
    return 1;
  }
  return 0;
}

const char* cgi_query(const char* name) {
  if (!name || !*name) return kEmpty;
  slot = (slot + 1) % kSlots;
  char* buf = slots[slot];
  buf[0] = '\0';
  const char* qs = cgi_env("QUERY_STRING", nullptr);
  if (!*qs) return kEmpty;
  return cgi_form_value(qs, std::strlen(qs), name, buf, kSlotSize) ? buf : kEmpty;
}

char* cgi_read_post(size_t* len) {
  size_t ignored = 0;
  if (!len) len = &ignored;
  *len = 0;
  const char* file = cgi_env("POST_BODY_FILE", nullptr);
  if (*file) {
    FilePtr f(std::fopen(file, "rb"));
    if (f) return read_body_file(f.get(), len);
  }
  size_t declared = 0;
  if (!parse_length(cgi_env("CONTENT_LENGTH", nullptr), &declared)) return nullptr;
  // POSIX has no text mode for stdin. Unbuffered, stdio reads no byte past the
  // declared length from the descriptor.
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  Buffer buf = alloc_buffer(declared + 1);
  if (!buf) return nullptr;
  size_t n = std::fread(buf.get(), 1, declared, stdin);
  buf.get()[n] = '\0';
  *len = n;
  return buf.release();
}

}  // extern "C"
