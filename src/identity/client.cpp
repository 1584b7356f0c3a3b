// The client registry, clients.json: an array of client objects in order of
// creation.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "crypto.h"
#include "store.h"
#include "tokens.h"
#include "zeb_cgi.h"

namespace {

constexpr const char* kClientsFile = "clients.json";
constexpr const char* kDefaultScopes = "openid profile";
constexpr size_t kSecretPrefixLen = 8;

zeb::StoreSpec clients_store(zeb::Missing missing) {
  return zeb::StoreSpec{kClientsFile, zeb::kStoreRetries, YYJSON_TYPE_ARR, missing};
}

// The new client object, members in their stored order; null when out of memory.
yyjson_mut_val* build_client(yyjson_mut_doc* doc, const char* id, const char* name,
                             const char* secret, bool is_public, const char* scopes,
                             const char* redirect_uri) {
  yyjson_mut_val* c = yyjson_mut_obj(doc);
  yyjson_mut_val* uris = yyjson_mut_arr(doc);
  bool ok = c && uris && yyjson_mut_obj_add_strcpy(doc, c, "client_id", id) &&
            yyjson_mut_obj_add_strcpy(doc, c, "name", name) &&
            (is_public ? yyjson_mut_obj_add_true(doc, c, "public")
                       : yyjson_mut_obj_add_strcpy(doc, c, "secret", secret)) &&
            yyjson_mut_obj_add_strcpy(doc, c, "scopes", scopes) &&
            yyjson_mut_arr_add_strcpy(doc, uris, redirect_uri) &&
            yyjson_mut_obj_add_val(doc, c, "redirect_uris", uris);
  return ok ? c : nullptr;
}

void fill_record(yyjson_val* c, const char* client_id, id_client* out) {
  std::memset(out, 0, sizeof *out);
  zeb_strlcpy(out->client_id, client_id, sizeof out->client_id);
  zeb_strlcpy(out->name, zeb::json_str(c, "name"), sizeof out->name);
  zeb_strlcpy(out->secret, zeb::json_str(c, "secret"), sizeof out->secret);
  zeb_strlcpy(out->scopes, zeb::json_str(c, "scopes"), sizeof out->scopes);
  out->is_public = yyjson_is_true(zeb::json_member(c, "public"));
  yyjson_val* uris = zeb::json_arr(c, "redirect_uris");
  size_t idx, max;
  yyjson_val* uri;
  yyjson_arr_foreach(uris, idx, max, uri) {
    if (idx == std::size(out->redirect_uris)) break;
    zeb_strlcpy(out->redirect_uris[idx], zeb::json_as_str(uri), sizeof out->redirect_uris[idx]);
    out->redirect_uri_count = static_cast<int32_t>(idx + 1);
  }
}

// Replaces the secret of a listed client by its first bytes ("secret_prefix") and
// makes "public" explicit. Returns false when out of memory.
bool mask_client(yyjson_mut_doc* doc, yyjson_mut_val* c) {
  char prefix[kSecretPrefixLen + 1] = "";
  yyjson_mut_val* secret = zeb::json_member(c, "secret");
  if (yyjson_mut_is_str(secret)) {
    const char* s = yyjson_mut_get_str(secret);
    size_t len = yyjson_mut_get_len(secret);
    size_t n = std::min(len, kSecretPrefixLen);
    // The writer refuses invalid UTF-8, so a cut inside a character would empty
    // the whole listing: cut before that character instead.
    while (n > 0 && n < len && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    std::memcpy(prefix, s, n);
    prefix[n] = '\0';
    yyjson_mut_obj_remove_key(c, "secret");
  }
  if (!yyjson_mut_obj_add_strcpy(doc, c, "secret_prefix", prefix)) return false;
  return yyjson_mut_obj_get(c, "public") || yyjson_mut_obj_add_false(doc, c, "public");
}

}  // namespace

extern "C" {

int id_client_create(const char* name, const char* redirect_uri, const char* scopes,
                     char* client_id_out, size_t client_id_cap, char* secret_out,
                     size_t secret_cap, bool is_public, char* msg, size_t msg_cap) {
  if (msg && msg_cap) msg[0] = '\0';
  if (!name || !*name || !redirect_uri || !*redirect_uri) {
    if (msg && msg_cap) zeb_strlcpy(msg, "missing name or redirect_uri", msg_cap);
    return -1;
  }
  if (id_redirect_uri_check(redirect_uri, msg, msg_cap) != 0) return -3;

  char id[256];
  char secret[256] = "";
  if (zeb::random_id("client_", 8, id, sizeof id) != 0) return -1;
  if (!is_public && zeb::random_id("sec_", 16, secret, sizeof secret) != 0) return -1;
  const char* stored_scopes = scopes && *scopes ? scopes : kDefaultScopes;

  bool added = false;
  int rc = zeb::store_update_rc(clients_store(zeb::Missing::Empty),
                                [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    yyjson_mut_val* c = build_client(doc, id, name, secret, is_public, stored_scopes, redirect_uri);
    added = c && yyjson_mut_arr_append(root, c);
    return added ? zeb::Change::Save : zeb::Change::Discard;
  });
  if (rc != 0 || !added) return -1;
  if (client_id_out && client_id_cap) zeb_strlcpy(client_id_out, id, client_id_cap);
  if (secret_out && secret_cap) zeb_strlcpy(secret_out, secret, secret_cap);
  return 0;
}

int id_client_delete(const char* client_id) {
  if (!client_id || !*client_id) return -1;
  bool found = false;
  int rc = zeb::store_update_rc(clients_store(zeb::Missing::Fail),
                                [&](yyjson_mut_doc*, yyjson_mut_val* root) {
    yyjson_mut_arr_iter it = yyjson_mut_arr_iter_with(root);
    while (yyjson_mut_val* c = yyjson_mut_arr_iter_next(&it)) {
      if (yyjson_mut_equals_str(zeb::json_member(c, "client_id"), client_id)) {
        yyjson_mut_arr_iter_remove(&it);
        found = true;
        return zeb::Change::Save;
      }
    }
    return zeb::Change::Discard;
  });
  return found ? rc : -1;
}

bool id_client_find_by_id(const char* client_id, id_client* out) {
  if (!client_id || !*client_id) return false;
  zeb::DocPtr doc = zeb::store_read(kClientsFile);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  size_t idx, max;
  yyjson_val* c;
  yyjson_arr_foreach(root, idx, max, c) {
    // The length-aware comparison: an id with an embedded NUL is not a match.
    if (!yyjson_equals_str(zeb::json_member(c, "client_id"), client_id)) continue;
    if (out) fill_record(c, client_id, out);
    return true;
  }
  return false;
}

bool id_client_verify_secret(const id_client* client, const char* presented) {
  if (!client || !presented || !*presented || !client->secret[0]) return false;
  return zeb_ct_equal(client->secret, std::strlen(client->secret), presented,
                      std::strlen(presented));
}

char* id_client_list_json(void) {
  zeb::DocPtr doc = zeb::store_read(kClientsFile);
  zeb::MutDocPtr mdoc(doc ? yyjson_doc_mut_copy(doc.get(), nullptr) : nullptr);
  yyjson_mut_val* root = mdoc ? yyjson_mut_doc_get_root(mdoc.get()) : nullptr;
  if (!yyjson_mut_is_arr(root)) return strdup("[]");
  size_t idx, max;
  yyjson_mut_val* c;
  yyjson_mut_arr_foreach(root, idx, max, c) {
    if (yyjson_mut_is_obj(c) && !mask_client(mdoc.get(), c)) return strdup("[]");
  }
  char* text = yyjson_mut_write(mdoc.get(), 0, nullptr);
  return text ? text : strdup("[]");
}

}  // extern "C"
