#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "identity_common.h"
#include "temp_dir.h"

namespace {

// Sets or clears environment variables for one scope.
class EnvGuard {
 public:
  EnvGuard() {
    for (const char* n : kNames) unsetenv(n);
  }
  ~EnvGuard() {
    for (const char* n : kNames) unsetenv(n);
  }
  void set(const char* name, const char* value) { setenv(name, value, 1); }

 private:
  static constexpr const char* kNames[] = {"IDENTITY_DATA_DIR", "IDENTITY_PORT", "IDENTITY_ADMIN_SECRET",
                                           "IDENTITY_BASE_URL", "HTTP_HOST"};
};

struct Case {
  const char* name;
  const char* config_json;  // null: no file
  std::vector<std::pair<const char*, const char*>> env;
  const char* data_dir;
  int port;
  const char* base_url;
  const char* admin_secret;
};

class ConfigTest : public TempDataDirTest {};

TEST_F(ConfigTest, SourcesMergeInOrder) {
  const Case cases[] = {
      {"defaults", nullptr, {}, "data", 8080, "http://127.0.0.1:8080", ""},
      {"real port ignored", R"({"port":81.5})", {}, "data", 8080, "http://127.0.0.1:8080", ""},
      {"string port ignored", R"({"port":"81"})", {}, "data", 8080, "http://127.0.0.1:8080", ""},
      {"integer port", R"({"port":81})", {}, "data", 81, "http://127.0.0.1:81", ""},
      {"port low 32 bits", R"({"port":4294967297})", {}, "data", 1, "http://127.0.0.1:1", ""},
      {"file values", R"({"data_dir":"d2","base_url":"https://id.example/","admin_secret":"s","data_dir":"ignored"})",
       {}, "d2", 8080, "https://id.example", "s"},
      {"one slash only", R"({"base_url":"http://h//"})", {}, "data", 8080, "http://h/", ""},
      {"array root ignored", R"([{"port":81}])", {}, "data", 8080, "http://127.0.0.1:8080", ""},
      {"invalid file ignored", R"({"port":81,})", {}, "data", 8080, "http://127.0.0.1:8080", ""},
      {"env wins", R"({"port":81,"base_url":"http://file"})",
       {{"IDENTITY_PORT", "9000"}, {"IDENTITY_BASE_URL", "http://env/"}, {"IDENTITY_ADMIN_SECRET", "x"},
        {"IDENTITY_DATA_DIR", "envdata"}},
       "envdata", 9000, "http://env", "x"},
      {"port not a number", nullptr, {{"IDENTITY_PORT", "abc"}}, "data", 0, "http://127.0.0.1:0", ""},
      {"empty env ignored", nullptr, {{"IDENTITY_DATA_DIR", ""}, {"IDENTITY_PORT", ""}}, "data", 8080,
       "http://127.0.0.1:8080", ""},
      {"host fallback", nullptr, {{"HTTP_HOST", "id.test:8443"}}, "data", 8080, "http://id.test:8443", ""},
      {"configured url beats host", R"({"base_url":"http://conf"})", {{"HTTP_HOST", "h"}}, "data", 8080,
       "http://conf", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EnvGuard env;
    std::remove("config.json");
    if (c.config_json) TempDataDir::write_file("config.json", c.config_json);
    for (auto& [k, v] : c.env) env.set(k, v);
    id_config cfg;
    memset(&cfg, 0x5a, sizeof cfg);
    id_get_config(&cfg);
    EXPECT_STREQ(cfg.data_dir, c.data_dir);
    EXPECT_EQ(cfg.port, c.port);
    EXPECT_STREQ(cfg.base_url, c.base_url);
    EXPECT_STREQ(cfg.admin_secret, c.admin_secret);
    struct stat st{};
    EXPECT_EQ(stat(c.data_dir, &st), 0) << "data directory not created";
  }
}

TEST_F(ConfigTest, DataDirectoryIsCreatedWithParentsAndPrivateMode) {
  EnvGuard env;
  mode_t old = umask(0);
  env.set("IDENTITY_DATA_DIR", "a/b/c");
  id_config cfg;
  id_get_config(&cfg);
  id_get_config(&cfg);  // again: nothing changes, nothing fails
  umask(old);
  for (const char* d : {"a", "a/b", "a/b/c"}) {
    SCOPED_TRACE(d);
    struct stat st{};
    ASSERT_EQ(stat(d, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  // An existing directory keeps its mode.
  mkdir("open", 0755);
  chmod("open", 0755);
  env.set("IDENTITY_DATA_DIR", "open");
  id_get_config(&cfg);
  struct stat st{};
  ASSERT_EQ(stat("open", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(ConfigTest, LongValuesAreCut) {
  EnvGuard env;
  std::string long_url = "http://" + std::string(400, 'h');
  env.set("IDENTITY_BASE_URL", long_url.c_str());
  id_config cfg;
  id_get_config(&cfg);
  EXPECT_EQ(strlen(cfg.base_url), 255u);
}

TEST_F(ConfigTest, FilePathJoinsDataDir) {
  char path[1024];
  id_get_file_path("users.json", path, sizeof path);
  EXPECT_EQ(std::string(path), dir.path("users.json"));
}

}  // namespace
