// The CGI layer: request input, response output, escaping and bounded strings.
// One request is one process, so lookups return texts in static ring buffers that
// live until the process ends; nothing here is safe to call from several threads.
// Every function with an out buffer does nothing when out is null or cap is 0;
// cap counts the terminating NUL, and texts are cut silently to fit.
#pragma once
#include <cstddef>
#include <cstdio>

extern "C" {

// ---- request input --------------------------------------------------------------

// The value of environment variable `name` when set and not empty, else `def`,
// else (def null) "". The text belongs to the environment or the caller.
const char* cgi_env(const char* name, const char* def);
// REQUEST_METHOD when set and not empty, else "GET".
const char* cgi_method(void);
// PATH_INFO when set and not empty, else "/".
const char* cgi_path_info(void);
// 1 when REQUEST_METHOD starts with "PO" (case-sensitive), else 0.
int cgi_is_post(void);

// The decoded value of the first QUERY_STRING parameter named `name` (keys are
// compared undecoded), cut to 4095 bytes; "" when absent. Points into a static ring
// of 8 buffers: valid until 8 more cgi_query calls. Never null.
const char* cgi_query(const char* name);

// Reads the whole request body: the file named by POST_BODY_FILE when it opens,
// else CONTENT_LENGTH bytes of standard input. Returns a new malloc'd buffer with a
// NUL after the body (caller frees) and stores the length in *len (may be null),
// or returns null with *len = 0 when there is no body: CONTENT_LENGTH missing, not a
// number, not above 0 or above 1 MiB; a body file above 1 MiB; out of memory.
char* cgi_read_post(size_t* len);

// Finds the first segment of the form-encoded data[0, len) whose key equals `name`
// byte for byte (keys are not decoded) and decodes its value ("+" as blank, %XX
// escapes) into out, cut to cap - 1 bytes. Returns 1 when found (out may be empty),
// 0 when not (out is "").
int cgi_form_value(const char* data, size_t len, const char* name, char* out, size_t cap);

// ---- response output ------------------------------------------------------------
// Header lines go to stdout with CR LF; write errors are ignored. Callers write the
// lines in order and finish with cgi_headers_end.

// Switches stdout to binary mode (a no-op on POSIX) and remembers that it did.
void zeb_stdout_bin(void);
// "Content-Type: text/html; charset=utf-8".
void cgi_header_html(void);
// "Content-Type: application/json; charset=utf-8".
void cgi_header_json(void);
// "Content-Type: text/plain; charset=utf-8".
void cgi_header_text(void);
// "Status: <status> <reason>", or "Status: <status>" when reason is null or empty.
void cgi_header_status(int status, const char* reason);
// "Content-Type: <content_type>".
void cgi_header_ct(const char* content_type);
// Writes a complete header line given without its line end.
void cgi_header_extra(const char* line);
// Writes "X-Content-Type-Options: nosniff" and the empty line, then flushes stdout.
void cgi_headers_end(void);

// Complete error responses: status line, content type, nosniff, empty line, body;
// then the process exits with status 0.
// Body: the message ("" when null) and "\n".
[[noreturn]] void cgi_die_text(int status, const char* message);
// Body: a dark HTML page with the escaped title in <h1> (when not null) and then
// html_body unchanged (trusted markup; when not null).
[[noreturn]] void cgi_die_html(int status, const char* title, const char* html_body);
// Body: {"ok":false,"error":"<message escaped>"} and "\n"; "error" when null.
[[noreturn]] void cgi_die_json(int status, const char* message);

// ---- escaping and string utilities ------------------------------------------------
// All work on bytes: UTF-8 passes through, only ASCII bytes are treated specially.

// HTML-escapes src (null reads as "") into out: & < > " ' become entities. Stops
// before a character once the output position + 8 reaches cap, so no entity is
// ever split and a cap of 8 or less gives "".
void html_escape(const char* src, char* out, size_t cap);
// Writes src HTML-escaped to f without limit; null writes nothing.
void html_escape_f(FILE* f, const char* src);
// The complete HTML-escaped text in a new malloc'd string (caller frees); "" for
// null src; null when out of memory.
char* html_escape_dup(const char* src);
// Writes src (null writes nothing) JSON-escaped, without quotes: \" \\ \n \r \t,
// other bytes below 0x20 as \u00xx; all other bytes unchanged.
void json_escape_f(FILE* f, const char* src);
// Percent-encodes src (null reads as "") into out, keeping letters, digits and
// "-._~"; a blank becomes %20. Stops before a character once the output position
// + 4 reaches cap, so no escape is ever split.
void url_encode(const char* src, char* out, size_t cap);

// Copies at most cap - 1 bytes of src (null reads as "") and always terminates.
void zeb_strlcpy(char* dst, const char* src, size_t cap);
// vsnprintf into buf, always terminated. Returns the length the whole text would
// have, or -1 when buf is null or cap is 0.
int zeb_snprintf(char* buf, size_t cap, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Removes trailing blanks, tabs, line feeds and carriage returns in place.
void zeb_rtrim(char* s);
// 1 when s is not empty, holds no ".." and only letters, digits and "-._"; else 0.
int zeb_valid_repo_name(const char* s);
// 1 when s is not empty, holds no ".." and only letters, digits and "-./:_"; else 0.
int zeb_valid_ref(const char* s);
// Writes dir, a "/" unless dir is empty or already ends in "/" or "\", and file
// into out, cut to cap - 1 bytes. Either part may be null or empty; nothing in
// them is inspected.
void zeb_path_join(char* out, size_t cap, const char* dir, const char* file);

}  // extern "C"
