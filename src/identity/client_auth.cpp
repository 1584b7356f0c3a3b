// Client authentication at the token endpoints: form credentials or HTTP Basic
// credentials, checked against the client registry.
#include <cstring>
#include <string_view>

#include "crypto.h"
#include "identity_common.h"
#include "zeb_cgi.h"

namespace {

constexpr char kBasicScheme[] = "Basic ";
constexpr size_t kBasicMax = 511;  // decoded credentials kept, NUL not counted
constexpr size_t kFieldMax = 255;  // an id or secret that fits a record field

constexpr const char* kMsgMissing = "Missing client identification";
constexpr const char* kMsgFailed =
    "Client authentication failed: unknown client or bad client_secret";
constexpr const char* kMsgPublic = "public client must not authenticate with a secret";

// The decoded Basic credentials, split in place: the colon becomes a NUL, so id
// and secret are both NUL-terminated texts inside text.
struct BasicCredentials {
  // The decoder may fill the NUL's place too: that tells a longer text.
  char text[kBasicMax + 1];
  const char* id = nullptr;
  const char* secret = nullptr;
  size_t id_len = 0, secret_len = 0;
  bool cut = false;  // the decoded text was longer than kBasicMax and has been cut

  BasicCredentials() = default;
  BasicCredentials(const BasicCredentials&) = delete;
  BasicCredentials& operator=(const BasicCredentials&) = delete;
  ~BasicCredentials() { zeb_wipe(text, sizeof text); }
};

// Reads HTTP_AUTHORIZATION into *c. False when it holds no Basic credentials:
// another scheme, bad base64, no colon, or a NUL byte in the decoded text (which
// no text of ours could carry whole, so it is refused rather than cut short).
bool read_basic(BasicCredentials* c) {
  std::string_view header = cgi_env("HTTP_AUTHORIZATION", "");
  if (!header.starts_with(kBasicScheme)) return false;
  header.remove_prefix(sizeof kBasicScheme - 1);
  while (header.starts_with(' ')) header.remove_prefix(1);

  size_t n = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(c->text);
  if (zeb_base64url_decode(header.data(), header.size(), bytes, kBasicMax + 1, &n) != 0)
    return false;
  c->cut = n > kBasicMax;
  if (c->cut) n = kBasicMax;
  c->text[n] = '\0';

  std::string_view decoded(c->text, n);
  if (decoded.find('\0') != std::string_view::npos) return false;
  size_t colon = decoded.find(':');
  if (colon == std::string_view::npos) return false;
  c->text[colon] = '\0';
  c->id = c->text;
  c->id_len = colon;
  c->secret = c->text + colon + 1;
  c->secret_len = n - colon - 1;
  return true;
}

void set_msg(char* msg, size_t cap, const char* text) {
  if (msg && cap) zeb_strlcpy(msg, text, cap);
}

}  // namespace

extern "C" {

int id_parse_basic_auth(char* id_out, size_t id_cap, char* secret_out, size_t secret_cap) {
  BasicCredentials c;
  if (!read_basic(&c)) return -1;
  if (id_out && id_cap) zeb_strlcpy(id_out, c.id, id_cap);
  if (secret_out && secret_cap) zeb_strlcpy(secret_out, c.secret, secret_cap);
  return 0;
}

int id_authenticate_client(const char* form_id, const char* form_secret, id_client* out,
                           unsigned char* basic, char* msg, size_t msg_cap) {
  if (msg && msg_cap) msg[0] = '\0';
  if (basic) *basic = 0;

  // The presented texts are used whole, never cut to a record's size: a cut secret
  // would let the right secret with anything appended pass, and a cut id could name
  // another client.
  const char* id = form_id && *form_id ? form_id : nullptr;
  const char* secret = form_secret && *form_secret ? form_secret : nullptr;
  bool too_long = id && std::strlen(id) > kFieldMax;

  BasicCredentials c;
  if (!id && read_basic(&c)) {
    if (basic) *basic = 1;
    id = c.id_len ? c.id : nullptr;
    secret = c.secret_len ? c.secret : nullptr;
    too_long = c.cut || c.id_len > kFieldMax;
  }
  if (!id) {
    set_msg(msg, msg_cap, kMsgMissing);
    return -1;
  }

  id_client client;
  bool ok = !too_long && id_client_find_by_id(id, &client);
  const char* failure = kMsgFailed;
  if (ok && client.is_public && secret && !client.secret[0]) {
    ok = false;
    failure = kMsgPublic;
  } else if (ok && (!client.is_public || secret)) {
    // Confidential clients always prove their secret; a public record that carries
    // a stored secret (written by hand) is held to it once a secret is presented.
    // id_client_verify_secret refuses a missing secret on either side.
    ok = id_client_verify_secret(&client, secret);
  }
  if (ok && out) *out = client;
  zeb_wipe(client.secret, sizeof client.secret);
  if (!ok) {
    set_msg(msg, msg_cap, failure);
    return -1;
  }
  return 0;
}

}  // extern "C"
