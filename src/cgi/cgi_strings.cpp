// Escaping for HTML, JSON and URLs; bounded copy, format, trim; name checks; paths.
#include "zeb_cgi.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The entity for a byte that HTML needs escaped, or null.
const char* html_entity(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return nullptr;
  }
}

// Passes the escaped form of each byte of src (null reads as "") to emit(text, n)
// in order, until emit returns false.
template <class Emit>
void html_escape_each(const char* src, Emit emit) {
  for (const char* p = src ? src : ""; *p; ++p) {
    const char* entity = html_entity(*p);
    if (!(entity ? emit(entity, std::strlen(entity)) : emit(p, 1))) return;
  }
}

bool is_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Non-empty, no "..", and every byte an ASCII letter, digit or one of `extra`.
int valid_name(const char* s, const char* extra) {
  if (!s || !*s || std::strstr(s, "..")) return 0;
  for (; *s; ++s) {
    if (!is_alnum(*s) && !std::strchr(extra, *s)) return 0;
  }
  return 1;
}

}  // namespace

extern "C" {

void html_escape(const char* src, char* out, size_t cap) {
  if (!out || cap == 0) return;
  size_t o = 0;
  // The 8-byte reserve fits the longest entity and the NUL, so an entity is
  // never split.
  html_escape_each(src, [&](const char* piece, size_t n) {
    if (o + 8 >= cap) return false;
    std::memcpy(out + o, piece, n);
    o += n;
    return true;
  });
  out[o] = '\0';
}

void html_escape_f(FILE* f, const char* src) {
  html_escape_each(src, [f](const char* piece, size_t n) {
    std::fwrite(piece, 1, n, f);
    return true;
  });
}

char* html_escape_dup(const char* src) {
  size_t len = 0;
  html_escape_each(src, [&len](const char*, size_t n) {
    len += n;
    return true;
  });
  char* out = static_cast<char*>(std::malloc(len + 1));
  if (!out) return nullptr;
  size_t o = 0;
  html_escape_each(src, [&](const char* piece, size_t n) {
    std::memcpy(out + o, piece, n);
    o += n;
    return true;
  });
  out[o] = '\0';
  return out;
}

void json_escape_f(FILE* f, const char* src) {
  if (!src) return;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p; ++p) {
    switch (*p) {
      case '"': std::fputs("\\\"", f); break;
      case '\\': std::fputs("\\\\", f); break;
      case '\n': std::fputs("\\n", f); break;
      case '\r': std::fputs("\\r", f); break;
      case '\t': std::fputs("\\t", f); break;
      default:
        if (*p < 0x20) {
          std::fprintf(f, "\\u%04x", *p);
        } else {
          std::fputc(*p, f);
        }
    }
  }
}

void url_encode(const char* src, char* out, size_t cap) {
  if (!out || cap == 0) return;
  static const char kHex[] = "0123456789ABCDEF";
  size_t o = 0;
  for (const char* p = src ? src : ""; *p && o + 4 < cap; ++p) {
    char c = *p;
    if (is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out[o++] = c;
    } else {
      unsigned char b = static_cast<unsigned char>(c);
      out[o++] = '%';
      out[o++] = kHex[b >> 4];
      out[o++] = kHex[b & 15];
    }
  }
  out[o] = '\0';
}

void zeb_strlcpy(char* dst, const char* src, size_t cap) {
  if (!dst || cap == 0) return;
  size_t n = src ? strnlen(src, cap - 1) : 0;
  if (n) std::memcpy(dst, src, n);
  dst[n] = '\0';
}

int zeb_snprintf(char* buf, size_t cap, const char* fmt, ...) {
  if (!buf || cap == 0) return -1;
  va_list ap;
  va_start(ap, fmt);
  int r = std::vsnprintf(buf, cap, fmt, ap);
  va_end(ap);
  // vsnprintf leaves the buffer unterminated when it fails outright.
  buf[cap - 1] = '\0';
  return r;
}

void zeb_rtrim(char* s) {
  if (!s) return;
  size_t n = std::strlen(s);
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\n' || s[n - 1] == '\r')) --n;
  s[n] = '\0';
}

int zeb_valid_repo_name(const char* s) { return valid_name(s, "-._"); }

int zeb_valid_ref(const char* s) { return valid_name(s, "-./:_"); }

void zeb_path_join(char* out, size_t cap, const char* dir, const char* file) {
  if (!out || cap == 0) return;
  zeb_strlcpy(out, dir, cap);
  size_t len = std::strlen(out);
  if (len > 0 && out[len - 1] != '/' && out[len - 1] != '\\' && len + 1 < cap) {
    out[len++] = '/';
    out[len] = '\0';
  }
  zeb_strlcpy(out + len, file, cap - len);
}

}  // extern "C"
