// The raw work a sign-out needs, with nothing around it: the floor's answer, the
// three whole-file update cycles (delete the session, revoke the user's refresh
// tokens, append the audit event) as bare yyjson calls and system calls, one PKCS#8
// key decode and one RS256 verification. The yardstick that the end-session
// program's full sign-out is compared with.
//   IDENTITY_DATA_DIR=... SESSION=... USER=... HINT=... raw_signout
#include <bearssl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "crypto.h"

namespace {

std::string g_dir;

std::string slurp(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  std::string s;
  if (fd < 0) return s;
  struct stat st;
  fstat(fd, &st);
  s.resize(static_cast<size_t>(st.st_size));
  if (read(fd, s.data(), s.size()) != static_cast<ssize_t>(s.size())) s.clear();
  close(fd);
  return s;
}

void cycle(const char* name, const std::function<void(yyjson_mut_doc*, yyjson_mut_val*)>& change) {
  std::string path = g_dir + "/" + name, tmp = path + ".tmp", lockp = path + ".lock";
  int lfd = open(lockp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  struct flock fl{};
  fl.l_type = F_WRLCK;
  fl.l_len = 1;
  while (fcntl(lfd, F_OFD_SETLK, &fl) != 0) usleep(5000);
  std::string text = slurp(path);
  yyjson_doc* doc = yyjson_read(text.data(), text.size(), 0);
  yyjson_mut_doc* mdoc = yyjson_doc_mut_copy(doc, nullptr);
  yyjson_doc_free(doc);
  change(mdoc, yyjson_mut_doc_get_root(mdoc));
  size_t len = 0;
  char* out = yyjson_mut_write(mdoc, YYJSON_WRITE_PRETTY, &len);
  yyjson_mut_doc_free(mdoc);
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (write(fd, out, len) != static_cast<ssize_t>(len)) std::exit(1);
  fsync(fd);
  close(fd);
  rename(tmp.c_str(), path.c_str());
  int dfd = open(g_dir.c_str(), O_RDONLY | O_DIRECTORY);
  fsync(dfd);
  close(dfd);
  std::free(out);
  close(lfd);
}

bool verify_hint(const char* hint) {
  const char* dot1 = std::strchr(hint, '.');
  const char* dot2 = dot1 ? std::strchr(dot1 + 1, '.') : nullptr;
  if (!dot2) return false;
  unsigned char header[512];
  size_t hlen = 0;
  zeb_base64url_decode(hint, static_cast<size_t>(dot1 - hint), header, sizeof header, &hlen);
  yyjson_doc* hdoc = yyjson_read(reinterpret_cast<char*>(header), hlen, 0);
  std::string kid = yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(hdoc), "kid"));
  yyjson_doc_free(hdoc);

  std::string keys = slurp(g_dir + "/keys.json");
  yyjson_doc* kdoc = yyjson_read(keys.data(), keys.size(), 0);
  yyjson_val* arr = yyjson_obj_get(yyjson_doc_get_root(kdoc), "keys");
  const char* der_b64 = nullptr;
  size_t i, max;
  yyjson_val* k;
  yyjson_arr_foreach(arr, i, max, k) {
    if (kid == yyjson_get_str(yyjson_obj_get(k, "kid"))) der_b64 = yyjson_get_str(yyjson_obj_get(k, "priv_der_b64"));
  }
  if (!der_b64) return false;
  unsigned char der[2048];
  size_t der_len = 0;
  zeb_base64url_decode(der_b64, std::strlen(der_b64), der, sizeof der, &der_len);
  yyjson_doc_free(kdoc);

  br_skey_decoder_context dc;
  br_skey_decoder_init(&dc);
  br_skey_decoder_push(&dc, der, der_len);
  const br_rsa_private_key* sk = br_skey_decoder_get_rsa(&dc);
  if (!sk) return false;
  unsigned char n[257];
  size_t n_len = br_rsa_i31_compute_modulus(n, sk);
  uint32_t e = br_rsa_i31_compute_pubexp(sk);
  unsigned char eb[4] = {static_cast<unsigned char>(e >> 24), static_cast<unsigned char>(e >> 16),
                         static_cast<unsigned char>(e >> 8), static_cast<unsigned char>(e)};
  br_rsa_public_key pk{n, n_len, eb + 1, 3};

  unsigned char sig[300];
  size_t sig_len = 0;
  zeb_base64url_decode(dot2 + 1, std::strlen(dot2 + 1), sig, sizeof sig, &sig_len);
  unsigned char want[32], got[32];
  zeb_sha256(hint, static_cast<size_t>(dot2 - hint), want);
  return br_rsa_i31_pkcs1_vrfy(sig, sig_len, BR_HASH_OID_SHA256, 32, &pk, got) && std::memcmp(want, got, 32) == 0;
}

}  // namespace

int main() {
  g_dir = std::getenv("IDENTITY_DATA_DIR");
  std::string session = std::getenv("SESSION"), user = std::getenv("USER");
  cycle("tokens.json", [&](yyjson_mut_doc*, yyjson_mut_val* root) {
    yyjson_mut_obj_remove_key(yyjson_mut_obj_get(root, "sessions"), session.c_str());
  });
  cycle("tokens.json", [&](yyjson_mut_doc*, yyjson_mut_val* root) {
    yyjson_mut_arr_iter it = yyjson_mut_arr_iter_with(yyjson_mut_obj_get(root, "refresh"));
    while (yyjson_mut_val* r = yyjson_mut_arr_iter_next(&it)) {
      const char* uid = yyjson_mut_get_str(yyjson_mut_obj_get(r, "user_id"));
      if (uid && user == uid) yyjson_mut_arr_iter_remove(&it);
    }
  });
  cycle("audit_log.json", [&](yyjson_mut_doc* doc, yyjson_mut_val* root) {
    yyjson_mut_val* e = yyjson_mut_arr_add_obj(doc, root);
    yyjson_mut_obj_add_int(doc, e, "ts", time(nullptr));
    yyjson_mut_obj_add_str(doc, e, "event", "signout");
    yyjson_mut_obj_add_strcpy(doc, e, "user_id", user.c_str());
    yyjson_mut_obj_add_str(doc, e, "username", "bench");
    yyjson_mut_obj_add_str(doc, e, "ip", "127.0.0.1");
    yyjson_mut_obj_add_str(doc, e, "detail", "");
    while (yyjson_mut_arr_size(root) > 2000) yyjson_mut_arr_remove_first(root);
  });
  if (!verify_hint(std::getenv("HINT"))) return 1;
  std::fputs("Status: 302 Found\r\nCache-Control: no-store\r\nPragma: no-cache\r\n"
             "Location: https://rp.bench/after-logout?iss=http%3A%2F%2F127.0.0.1%3A8080\r\n"
             "Set-Cookie: id_session=; Path=/; HttpOnly; SameSite=Lax; Max-Age=0\r\n"
             "X-Content-Type-Options: nosniff\r\n\r\n"
             "Redirecting to https://rp.bench/after-logout?iss=http%3A%2F%2F127.0.0.1%3A8080...\n",
             stdout);
  return 0;
}
