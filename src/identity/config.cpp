#include <cstdlib>
#include <cstring>

#include "identity_common.h"
#include "platform.h"
#include "store.h"
#include "zeb_cgi.h"

namespace {

const char* env_set(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? v : nullptr;
}

// Creates the directory and every parent on the way; failures (mostly "exists")
// are left for the first real use of the directory to report.
void ensure_dir_exists(const char* path) {
  if (!path || !*path) return;
  char buf[1024];
  zeb_strlcpy(buf, path, sizeof buf);
  size_t len = std::strlen(buf);
  for (size_t i = 1; i < len; ++i) {
    if (buf[i] == '/' || buf[i] == '\\') {
      char keep = buf[i];
      buf[i] = '\0';
      zeb_mkdir(buf);
      buf[i] = keep;
    }
  }
  zeb_mkdir(buf);
}

void read_config_file(id_config* cfg) {
  size_t len = 0;
  char* text = zeb_file_read("config.json", &len, nullptr);
  if (!text) return;
  zeb::DocPtr doc(yyjson_read(text, len, 0));
  std::free(text);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root)) return;
  if (yyjson_val* v = yyjson_obj_get(root, "data_dir"); yyjson_is_str(v))
    zeb_strlcpy(cfg->data_dir, yyjson_get_str(v), sizeof cfg->data_dir);
  if (yyjson_val* v = yyjson_obj_get(root, "port"); yyjson_is_int(v))
    cfg->port = static_cast<int32_t>(static_cast<uint32_t>(yyjson_get_uint(v)));
  if (yyjson_val* v = yyjson_obj_get(root, "base_url"); yyjson_is_str(v))
    zeb_strlcpy(cfg->base_url, yyjson_get_str(v), sizeof cfg->base_url);
  if (yyjson_val* v = yyjson_obj_get(root, "admin_secret"); yyjson_is_str(v))
    zeb_strlcpy(cfg->admin_secret, yyjson_get_str(v), sizeof cfg->admin_secret);
}

}  // namespace

extern "C" void id_get_config(id_config* cfg) {
  std::memset(cfg, 0, sizeof *cfg);
  zeb_strlcpy(cfg->data_dir, "data", sizeof cfg->data_dir);
  cfg->port = 8080;
  read_config_file(cfg);
  if (const char* v = env_set("IDENTITY_DATA_DIR")) zeb_strlcpy(cfg->data_dir, v, sizeof cfg->data_dir);
  ensure_dir_exists(cfg->data_dir);
  if (const char* v = env_set("IDENTITY_PORT"))
    cfg->port = static_cast<int32_t>(static_cast<uint32_t>(std::strtoll(v, nullptr, 10)));
  if (const char* v = env_set("IDENTITY_ADMIN_SECRET"))
    zeb_strlcpy(cfg->admin_secret, v, sizeof cfg->admin_secret);
  if (const char* v = env_set("IDENTITY_BASE_URL")) {
    zeb_strlcpy(cfg->base_url, v, sizeof cfg->base_url);
  } else if (!cfg->base_url[0]) {
    if (const char* host = env_set("HTTP_HOST"))
      zeb_snprintf(cfg->base_url, sizeof cfg->base_url, "http://%s", host);
    else
      zeb_snprintf(cfg->base_url, sizeof cfg->base_url, "http://127.0.0.1:%d", cfg->port);
  }
  size_t n = std::strlen(cfg->base_url);
  if (n > 0 && cfg->base_url[n - 1] == '/') cfg->base_url[n - 1] = '\0';
}
