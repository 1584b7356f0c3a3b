// The subcommand table: each entry names its options and calls the core operation
// of the same name, shaping its result into a JSON reply.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "admin.h"
#include "id_keys.h"
#include "identity_common.h"

namespace admin {
namespace {

std::string base_url() {
  id_config cfg;
  id_get_config(&cfg);
  return cfg.base_url;
}

Reply user_reply(const id_user& u) {
  return Json()
      .str("id", u.id)
      .str("username", u.username)
      .str("email", u.email)
      .str("role", u.role)
      .integer("created", u.created)
      .integer("last_login", u.last_login)
      .reply();
}

// The secret is shown the way the listing shows it: its first 8 bytes only.
Reply client_reply(const id_client& c) {
  return Json()
      .str("client_id", c.client_id)
      .str("name", c.name)
      .str("secret_prefix", std::string(c.secret).substr(0, 8).c_str())
      .strings("redirect_uris", c.redirect_uris, c.redirect_uri_count)
      .str("scopes", c.scopes)
      .boolean("public", c.is_public)
      .reply();
}

Reply claims_reply(const id_jwt_claims& c) {
  return Json()
      .str("iss", c.iss)
      .str("sub", c.sub)
      .str("username", c.username)
      .str("email", c.email)
      .str("aud", c.aud)
      .str("scope", c.scope)
      .str("jti", c.jti)
      .str("token_use", c.token_use)
      .integer("exp", c.exp)
      .integer("iat", c.iat)
      .reply();
}

Reply code_reply(const id_auth_code_record& r) {
  return Json()
      .str("user_id", r.user_id)
      .str("username", r.username)
      .str("client_id", r.client_id)
      .str("redirect_uri", r.redirect_uri)
      .str("scope", r.scope)
      .str("code_challenge", r.code_challenge)
      .str("code_challenge_method", r.code_challenge_method)
      .str("nonce", r.nonce)
      .integer("auth_time", r.auth_time)
      .reply();
}

Reply token_reply(int rc, const char* token) {
  if (rc != 0) return refused("could not mint the token (no usable signing key)");
  return Json().str("token", token).reply();
}

// The password is wiped once the core has it.
struct Password {
  std::string text;
  bool read = read_password(text);
  ~Password() { std::fill(text.begin(), text.end(), '\0'); }
};

constexpr char kTokenStoreFailed[] = "could not save the token store";

Reply sessions_list(const Args& a) {
  char* text = id_refresh_token_list_json_scoped(a.get("user-id"));
  if (!text) return refused("out of memory");
  yyjson_doc* doc = yyjson_read(text, std::strlen(text), 0);
  std::free(text);
  yyjson_val* sessions = yyjson_obj_get(yyjson_doc_get_root(doc), "sessions");
  char* out = sessions ? yyjson_val_write(sessions, 0, nullptr) : nullptr;
  yyjson_doc_free(doc);
  return out ? listing(out) : refused("could not read the token store");
}

}  // namespace

const Command kCommands[] = {
    // ---- users
    {"users", "create", "username! email role",
     "create a user; the password is the first line of stdin",
     [](const Args& a) {
       Password pw;
       if (!pw.read) return refused("no password on standard input");
       char id[64] = {}, msg[256] = {};
       int rc = id_user_create_role(a.get("username"), pw.text.c_str(), a.get("email"),
                                    a.get("role"), id, sizeof id, msg, sizeof msg);
       if (rc != 0)
         return failed(
             rc, msg,
             {{-1, "could not create the user (random source, hashing, lock or save failed)"},
              {-2, "user already exists"}});
       return Json().str("id", id).reply();
     }},
    {"users", "show", "id username",
     "show a user (by --id or --username) without its password hash",
     [](const Args& a) {
       if (a.has("id") == a.has("username"))
         return usage("users show takes one of --id or --username");
       id_user u;
       bool found = a.has("id") ? id_user_find_by_id(a.get("id"), &u)
                                : id_user_find_by_username(a.get("username"), &u);
       return found ? user_reply(u) : refused("user not found");
     }},
    {"users", "list", "", "list every user",
     [](const Args&) { return listing(id_user_list_json()); }},
    {"users", "passwd", "id!", "set a user's password to the first line of stdin",
     [](const Args& a) {
       Password pw;
       if (!pw.read) return refused("no password on standard input");
       char msg[256] = {};
       int rc = id_user_set_password(a.get("id"), pw.text.c_str(), msg, sizeof msg);
       return rc == 0 ? ok() : failed(rc, msg, {{-1, "could not set the password"}});
     }},
    {"users", "delete", "id!",
     "delete a user with its sessions and refresh tokens (not the last administrator)",
     [](const Args& a) {
       // Nothing else keeps the provider from losing its last administrator.
       if (id_user_is_last_admin(a.get("id")))
         return refused("cannot delete the last administrator");
       return id_user_delete(a.get("id")) == 0
                  ? ok()
                  : refused("user not found, or the user store could not be saved");
     }},
    // ---- clients
    {"clients", "create", "name! redirect-uri! scopes public?",
     "register a client (--public: without a secret)",
     [](const Args& a) {
       char id[256] = {}, secret[256] = {}, msg[256] = {};
       int rc =
           id_client_create(a.get("name"), a.get("redirect-uri"), a.get("scopes"), id, sizeof id,
                            secret, sizeof secret, a.has("public"), msg, sizeof msg);
       if (rc != 0) return failed(rc, msg, {{-1, "could not save the client registry"}});
       return Json().str("client_id", id).str("client_secret", secret).reply();
     }},
    {"clients", "show", "id!", "show a client (its secret by its first 8 bytes)",
     [](const Args& a) {
       id_client c;
       return id_client_find_by_id(a.get("id"), &c) ? client_reply(c) : refused("client not found");
     }},
    {"clients", "list", "", "list every client",
     [](const Args&) { return listing(id_client_list_json()); }},
    {"clients", "delete", "id!", "remove a client",
     [](const Args& a) {
       return id_client_delete(a.get("id")) == 0
                  ? ok()
                  : refused("client not found, or the client registry could not be saved");
     }},
    // ---- sessions
    {"sessions", "create", "user-id! username", "open a sign-in session for a user",
     [](const Args& a) {
       char sid[128] = {};
       if (id_session_create(a.get("user-id"), a.get("username"), sid, sizeof sid) != 0)
         return refused(kTokenStoreFailed);
       return Json().str("session_id", sid).reply();
     }},
    {"sessions", "list", "user-id", "list the sessions (of one user)", sessions_list},
    {"sessions", "delete", "id!", "end one session",
     [](const Args& a) {
       return id_session_delete(a.get("id")) == 0 ? ok() : refused(kTokenStoreFailed);
     }},
    {"sessions", "delete-user", "user-id!", "end every session of a user",
     [](const Args& a) {
       return id_session_delete_by_user(a.get("user-id")) == 0 ? ok() : refused(kTokenStoreFailed);
     }},
    // ---- refresh tokens
    {"refresh", "issue", "user-id! client-id! username scope", "issue a refresh token",
     [](const Args& a) {
       char token[256] = {};
       if (id_refresh_token_create(a.get("user-id"), a.get("username"), a.get("client-id"),
                                   a.get("scope"), token, sizeof token) != 0)
         return refused(kTokenStoreFailed);
       return Json().str("refresh_token", token).reply();
     }},
    {"refresh", "rotate", "token! client-id", "use a refresh token up and issue its successor",
     [](const Args& a) {
       char token[256] = {};
       int rc = id_refresh_token_rotate(a.get("token"), a.get("client-id"), token, sizeof token,
                                        nullptr);
       if (rc != 0)
         return failed(rc, nullptr,
                       {{-1, "unknown refresh token, or the token store could not be saved"},
                        {-2, "refresh token expired"},
                        {-3, "refresh token of another client"},
                        {-4, "refresh token already used: its family is revoked"}});
       return Json().str("refresh_token", token).reply();
     }},
    {"refresh", "revoke", "token!", "remove one refresh token",
     [](const Args& a) {
       return id_refresh_token_revoke(a.get("token")) == 0
                  ? ok()
                  : refused("unknown refresh token, or the token store could not be saved");
     }},
    {"refresh", "revoke-family", "token! client-id",
     "remove every live token of the token's family",
     [](const Args& a) {
       return Json()
           .integer("revoked", id_refresh_token_revoke_family(a.get("token"), a.get("client-id")))
           .reply();
     }},
    {"refresh", "list", "user-id",
     "list sessions, refresh tokens and rotated entries (of one user)",
     [](const Args& a) { return listing(id_refresh_token_list_json_scoped(a.get("user-id"))); }},
    // ---- authorization codes
    {"codes", "issue",
     "client-id! redirect-uri! user-id username scope challenge method nonce auth-time@",
     "issue an authorization code",
     [](const Args& a) {
       char code[128] = {};
       if (id_auth_code_create_v(a.get("user-id"), a.get("username"), a.get("client-id"),
                                 a.get("redirect-uri"), a.get("scope"), a.get("challenge"),
                                 a.get("method"), a.get("nonce"), a.num("auth-time", 0), code,
                                 sizeof code) != 0)
         return refused(kTokenStoreFailed);
       return Json().str("code", code).reply();
     }},
    {"codes", "redeem", "code! client-id! redirect-uri verifier",
     "use a code up and show its record",
     [](const Args& a) {
       id_auth_code_record r;
       int rc = id_auth_code_consume(a.get("code"), a.get("client-id"), a.get("redirect-uri"),
                                     a.get("verifier"), &r);
       if (rc != 0)
         return failed(rc, nullptr,
                       {{-1, "unknown code, or the token store could not be saved"},
                        {-2, "code expired"},
                        {-3, "code of another client"},
                        {-4, "redirect URI does not match the code's"},
                        {-5, "PKCE verifier does not match"}});
       return code_reply(r);
     }},
    // ---- consent
    {"consent", "set", "user-id! client-id! scopes!", "widen a user's consent for a client",
     [](const Args& a) {
       return id_consent_set(a.get("user-id"), a.get("client-id"), a.get("scopes")) == 0
                  ? ok()
                  : refused("could not save the consent store");
     }},
    {"consent", "covers", "user-id! client-id! scopes",
     "tell whether the consent grants the scopes",
     [](const Args& a) {
       return Json()
           .boolean("covers",
                    id_consent_covers(a.get("user-id"), a.get("client-id"), a.get("scopes")))
           .reply();
     }},
    {"consent", "list", "", "list every consent",
     [](const Args&) { return listing(id_consent_list_json()); }},
    {"consent", "revoke", "user-id! client-id!", "remove a user's consent for a client",
     [](const Args& a) {
       return id_consent_revoke(a.get("user-id"), a.get("client-id")) == 0
                  ? ok()
                  : refused("could not save the consent store");
     }},
    // ---- revoked token identifiers
    {"revoked", "add", "jti! exp!@ sub client-id", "revoke a token identifier until --exp",
     [](const Args& a) {
       return id_revoke_add_jti(a.get("jti"), a.num("exp", 0), a.get("sub"), a.get("client-id")) ==
                      0
                  ? ok()
                  : refused("could not save the revocation list");
     }},
    {"revoked", "check", "jti!", "tell whether a token identifier is revoked",
     [](const Args& a) {
       return Json().boolean("revoked", id_revoke_is_jti(a.get("jti"))).reply();
     }},
    // ---- signing keys
    {"keys", "list", "", "list the signing keys",
     [](const Args&) { return listing(id_keys_list_json(), "could not load the signing keys"); }},
    {"keys", "rotate", "", "retire the active key and make a new one",
     [](const Args&) {
       char kid[128] = {};
       if (id_keys_rotate() != 0 || id_keys_get_active(nullptr, nullptr, kid, sizeof kid) != 0)
         return refused("could not rotate the keys (the table is full or a step failed)");
       return Json().boolean("ok", true).str("kid", kid).reply();
     }},
    {"keys", "prune", "days#", "remove retired keys created more than --days (default 30) days ago",
     [](const Args& a) {
       int removed = id_keys_prune(static_cast<int32_t>(a.num("days", 30)));
       if (removed < 0) return refused("could not prune the keys");
       return Json().integer("removed", removed).reply();
     }},
    {"keys", "jwks", "", "show the public key set",
     [](const Args&) {
       char* keys = id_keys_jwks_json();
       Reply r =
           keys ? Json().raw("keys", keys).reply() : refused("could not load the signing keys");
       std::free(keys);
       return r;
     }},
    // ---- tokens
    {"tokens", "mint-access", "sub! username email client-id scope lifetime#",
     "mint an access token",
     [](const Args& a) {
       char token[8192];
       int rc = id_jwt_mint_access_token(
           base_url().c_str(), a.get("sub"), a.get("username"), a.get("email"), a.get("client-id"),
           a.get("scope"), static_cast<uint32_t>(a.num("lifetime", 0)), token, sizeof token);
       return token_reply(rc, token);
     }},
    {"tokens", "mint-id", "sub! aud! username email nonce lifetime# v2? access-token auth-time@",
     "mint an ID token (--access-token and --auth-time imply --v2)",
     [](const Args& a) {
       char token[8192];
       std::string iss = base_url();
       auto lifetime = static_cast<uint32_t>(a.num("lifetime", 0));
       bool v2 = a.has("v2") || a.has("access-token") || a.has("auth-time");
       int rc =
           v2 ? id_jwt_mint_id_token_v2(iss.c_str(), a.get("sub"), a.get("username"),
                                        a.get("email"), a.get("aud"), a.get("nonce"),
                                        a.get("access-token"), a.num("auth-time", 0), lifetime,
                                        token, sizeof token)
              : id_jwt_mint_id_token(iss.c_str(), a.get("sub"), a.get("username"), a.get("email"),
                                     a.get("aud"), a.get("nonce"), lifetime, token, sizeof token);
       return token_reply(rc, token);
     }},
    {"tokens", "verify", "token!", "check a token's signature and expiry and show its claims",
     [](const Args& a) {
       id_jwt_claims c;
       int rc = id_jwt_verify(a.get("token"), &c);
       if (rc != 0)
         return failed(rc, nullptr,
                       {{-1, "malformed or unacceptable token"},
                        {-2, "bad signature or no usable key"},
                        {-3, "token expired"}});
       return claims_reply(c);
     }},
    // ---- audit log
    {"audit", "list", "max#", "list the newest events (--max, default 200)",
     [](const Args& a) { return listing(id_audit_list_json(static_cast<int>(a.num("max", 0)))); }},
    {"audit", "count", "", "count the events",
     [](const Args&) { return Json().integer("count", id_audit_count()).reply(); }},
    {"audit", "prune", "keep!#", "remove the oldest events until --keep remain",
     [](const Args& a) {
       int removed = id_audit_prune(static_cast<int>(a.num("keep", 0)));
       if (removed < 0) return refused("could not lock or save the audit log");
       return Json().integer("removed", removed).reply();
     }},
};

const size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

}  // namespace admin
