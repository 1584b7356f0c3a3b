// Scope lists: id_scope_intersect and id_consent_covers against a small model of
// the rules (tokens separated by runs of blanks, tabs and commas, compared byte
// for byte). Input: requested NUL allowed NUL granted NUL capacity byte.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "identity_common.h"

namespace {

constexpr size_t kMaxToken = 255;

std::vector<std::string_view> tokens(std::string_view list) {
  std::vector<std::string_view> out;
  size_t i = 0;
  auto sep = [](char c) { return c == ' ' || c == '\t' || c == ','; };
  while (i < list.size()) {
    if (sep(list[i])) {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < list.size() && !sep(list[i])) ++i;
    out.push_back(list.substr(start, i - start));
  }
  return out;
}

bool has(const std::vector<std::string_view>& list, std::string_view t) {
  for (std::string_view x : list)
    if (x == t) return true;
  return false;
}

// The tokens the intersection should keep with unlimited room, in order.
std::vector<std::string_view> expected_intersection(std::string_view requested,
                                                    std::string_view allowed) {
  std::vector<std::string_view> allow = tokens(allowed.empty() ? "openid profile email" : allowed);
  std::vector<std::string_view> out;
  for (std::string_view t : tokens(requested)) {
    if (t.size() <= kMaxToken && has(allow, t) && !has(out, t)) out.push_back(t);
  }
  return out;
}

void intersect(const std::string& requested, const std::string& allowed, size_t cap) {
  fuzz::OutBuffer out(cap);
  id_scope_intersect(requested.c_str(), allowed.c_str(), out.data(), cap);
  if (cap == 0) {
    out.check_untouched();
    return;
  }
  out.check_text();
  std::string_view got(out.data());
  std::vector<std::string_view> want = expected_intersection(requested, allowed);
  // The result is the longest prefix of the expected tokens that fits, joined by
  // single blanks.
  std::string joined;
  for (std::string_view t : want) {
    size_t need = joined.size() + (joined.empty() ? 0 : 1) + t.size();
    if (need + 1 > cap) break;
    if (!joined.empty()) joined += ' ';
    joined += t;
  }
  FUZZ_CHECK(got == joined);
}

void covers(const std::string& requested, const std::string& granted, bool requested_null) {
  // A well-formed store holding one consent with the fuzzed list.
  yyjson_mut_doc* doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val* root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_val* user = yyjson_mut_obj_add_obj(doc, root, "usr_1");
  yyjson_mut_val* rec = yyjson_mut_obj_add_obj(doc, user, "client_a");
  yyjson_mut_obj_add_strncpy(doc, rec, "scopes", granted.data(), granted.size());
  yyjson_mut_obj_add_int(doc, rec, "granted", fuzz::kNow);
  size_t len = 0;
  // Bytes that are not UTF-8 make the writer fail; such a list cannot be stored.
  char* text = yyjson_mut_write(doc, YYJSON_WRITE_NOFLAG, &len);
  yyjson_mut_doc_free(doc);
  if (!text) return;
  fuzz::write_store("consents.json", text, len);
  std::free(text);

  const char* req = requested_null ? nullptr : requested.c_str();
  bool got = id_consent_covers("usr_1", "client_a", req);
  bool want = true;
  if (req) {
    std::vector<std::string_view> grant = tokens(granted);
    for (std::string_view t : tokens(requested)) want = want && t.size() <= kMaxToken && has(grant, t);
  }
  FUZZ_CHECK(got == want);
  FUZZ_CHECK(!id_consent_covers("usr_1", "client_b", req));
  FUZZ_CHECK(!id_consent_covers("usr_2", "client_a", req));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> f = fuzz::split(data, size, 4);
  // Texts handed to the C interface end at their first NUL, which split() already
  // guarantees for all but the last field.
  unsigned char pick = f[3].empty() ? 0 : static_cast<unsigned char>(f[3][0]);
  static const size_t kCaps[] = {0, 1, 2, 7, 16, 64, 256, 4096};
  intersect(f[0], f[1], kCaps[pick % 8]);
  intersect(f[0], f[1], 4096);
  covers(f[0], f[2], (pick & 8) != 0);
  return 0;
}
