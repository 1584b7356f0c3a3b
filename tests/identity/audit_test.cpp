#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fault.h"
#include "identity_common.h"
#include "temp_dir.h"

namespace {

constexpr int64_t kNow = 1700000000;

class AuditTest : public TempDataDirTest {
 protected:
  AuditTest() { fault.ops().time = [] { return kNow; }; }

  std::string log_path() const { return dir.path("audit_log.json"); }
  std::string read_log() const { return TempDataDir::read_file(log_path()); }
  void write_log(const std::string& json) const { TempDataDir::write_file(log_path(), json); }
  std::string server_log() const {
    std::string p = dir.path("server.log");
    return TempDataDir::exists(p) ? TempDataDir::read_file(p) : "";
  }

  // A compact log of events with "ts" first..last and "event" "e<ts>".
  static std::string events_json(int first, int last) {
    std::string json = "[";
    for (int i = first; i <= last; ++i) {
      if (i > first) json += ",";
      json += "{\"ts\":" + std::to_string(i) + ",\"event\":\"e" + std::to_string(i) +
              "\",\"user_id\":\"\",\"username\":\"\",\"ip\":\"?\",\"detail\":\"\"}";
    }
    return json + "]";
  }
  void write_events(int first, int last) const { write_log(events_json(first, last)); }

  // The "ts" of every event in the stored log, in file order.
  std::vector<int64_t> stored_ts() const { return ts_of(read_log()); }

  static std::vector<int64_t> ts_of(const std::string& json) {
    std::vector<int64_t> out;
    yyjson_doc* doc = yyjson_read(json.data(), json.size(), 0);
    size_t idx, max;
    yyjson_val* v;
    yyjson_arr_foreach(yyjson_doc_get_root(doc), idx, max, v) {
      out.push_back(yyjson_get_sint(yyjson_obj_get(v, "ts")));
    }
    yyjson_doc_free(doc);
    return out;
  }

  // Expects exactly one server-log line: a local time stamp and then message.
  void expect_one_log_line(const std::string& message) const {
    std::string log = server_log();
    ASSERT_GT(log.size(), 20u) << log;
    const std::string shape = "dddd-dd-dd dd:dd:dd ";
    for (size_t i = 0; i < shape.size(); ++i) {
      bool ok = shape[i] == 'd' ? log[i] >= '0' && log[i] <= '9' : log[i] == shape[i];
      EXPECT_TRUE(ok) << "time stamp byte " << i << " of " << log;
    }
    EXPECT_EQ(log.substr(20), message + "\n");
  }

  PlatformFault fault;
};

std::string take(char* text) {
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return text ? text : "(null)";
}

TEST_F(AuditTest, RecordsEventsWithDefaultsForMissingTexts) {
  ASSERT_EQ(id_audit_record("signout", "usr_1", nullptr, "", nullptr), 0);
  ASSERT_EQ(id_audit_record("login", nullptr, "alice", "10.0.0.7", "via \"form\"\n"), 0);
  ASSERT_EQ(id_audit_record("x", "", "", nullptr, ""), 0);
  EXPECT_EQ(read_log(),
            "[\n"
            "    {\n"
            "        \"ts\": 1700000000,\n"
            "        \"event\": \"signout\",\n"
            "        \"user_id\": \"usr_1\",\n"
            "        \"username\": \"\",\n"
            "        \"ip\": \"?\",\n"
            "        \"detail\": \"\"\n"
            "    },\n"
            "    {\n"
            "        \"ts\": 1700000000,\n"
            "        \"event\": \"login\",\n"
            "        \"user_id\": \"\",\n"
            "        \"username\": \"alice\",\n"
            "        \"ip\": \"10.0.0.7\",\n"
            "        \"detail\": \"via \\\"form\\\"\\n\"\n"
            "    },\n"
            "    {\n"
            "        \"ts\": 1700000000,\n"
            "        \"event\": \"x\",\n"
            "        \"user_id\": \"\",\n"
            "        \"username\": \"\",\n"
            "        \"ip\": \"?\",\n"
            "        \"detail\": \"\"\n"
            "    }\n"
            "]");
  EXPECT_EQ(id_audit_count(), 3);
  EXPECT_EQ(server_log(), "");
}

TEST_F(AuditTest, EventNameIsRequired) {
  EXPECT_EQ(id_audit_record(nullptr, "u", "n", "ip", "d"), -1);
  EXPECT_EQ(id_audit_record("", "u", "n", "ip", "d"), -1);
  EXPECT_FALSE(TempDataDir::exists(log_path()));

  write_events(1, 2);
  const std::string before = read_log();
  EXPECT_EQ(id_audit_record("", "u", "n", "ip", "d"), -1);
  EXPECT_EQ(read_log(), before);
  EXPECT_EQ(server_log(), "");
}

TEST_F(AuditTest, KeepsTheNewest2000Events) {
  for (int oversized : {2000, 2500}) {
    SCOPED_TRACE(oversized);
    write_events(1, oversized);
    ASSERT_EQ(id_audit_record("newest", nullptr, nullptr, nullptr, nullptr), 0);
    std::vector<int64_t> ts = stored_ts();
    ASSERT_EQ(ts.size(), 2000u);
    EXPECT_EQ(ts.front(), oversized - 1998);
    EXPECT_EQ(ts[1998], oversized);
    EXPECT_EQ(ts.back(), kNow);
  }
}

TEST_F(AuditTest, AnUnusableLogIsReplacedByTheNewEvent) {
  for (const char* file : {R"({"events": [{"ts": 1}]})", "[{\"ts\": 1},", "\"text\""}) {
    SCOPED_TRACE(file);
    write_log(file);
    ASSERT_EQ(id_audit_record("signout", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(stored_ts(), std::vector<int64_t>{kNow});
  }
}

TEST_F(AuditTest, ListingIsNewestFirstWithinTheLimit) {
  write_events(1, 10);
  EXPECT_EQ(ts_of(take(id_audit_list_json(3))), (std::vector<int64_t>{10, 9, 8}));
  EXPECT_EQ(ts_of(take(id_audit_list_json(10))).size(), 10u);
  EXPECT_EQ(ts_of(take(id_audit_list_json(50))).size(), 10u);

  write_events(1, 250);
  for (int limit : {0, -1}) {
    SCOPED_TRACE(limit);
    std::vector<int64_t> ts = ts_of(take(id_audit_list_json(limit)));
    ASSERT_EQ(ts.size(), 200u);
    EXPECT_EQ(ts.front(), 250);
    EXPECT_EQ(ts.back(), 51);
  }
}

TEST_F(AuditTest, ListingNormalisesStoredEvents) {
  write_log(R"([
    {"ts": 1, "event": "old"},
    {"detail": "d", "ip": "", "username": "bob", "user_id": "u", "event": "e", "ts": 9007199254740993, "extra": 1},
    "not an event",
    {"ts": "2", "event": 3, "ip": 4, "ip": "shadowed"},
    {"ts": -5, "event": "first", "event": "second"}
  ])");
  EXPECT_EQ(take(id_audit_list_json(4)),
            R"([{"ts":-5,"event":"first","user_id":"","username":"","ip":"?","detail":""},)"
            R"({"ts":0,"event":"","user_id":"","username":"","ip":"?","detail":""},)"
            R"({"ts":9007199254740993,"event":"e","user_id":"u","username":"bob","ip":"","detail":"d"}])");
  EXPECT_EQ(id_audit_count(), 5);
}

TEST_F(AuditTest, ListingAndCountOfUnusableLogsAreEmpty) {
  EXPECT_EQ(take(id_audit_list_json(5)), "[]");
  EXPECT_EQ(id_audit_count(), 0);
  for (const char* file : {"{}", "[1,", "", "42"}) {
    SCOPED_TRACE(file);
    write_log(file);
    EXPECT_EQ(take(id_audit_list_json(5)), "[]");
    EXPECT_EQ(id_audit_count(), 0);
  }
}

TEST_F(AuditTest, PruneKeepsTheNewest) {
  struct {
    int keep;
    int removed;
    std::vector<int64_t> left;
  } cases[] = {
      {4, 6, {7, 8, 9, 10}},
      {9, 1, {2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {0, 10, {}},
      {-5, 10, {}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.keep);
    write_events(1, 10);
    EXPECT_EQ(id_audit_prune(k.keep), k.removed);
    EXPECT_EQ(stored_ts(), k.left);
  }
}

TEST_F(AuditTest, PruneWithNothingToRemoveDoesNotWrite) {
  struct {
    const char* name;
    std::optional<std::string> file;
    int keep;
  } cases[] = {
      {"missing", std::nullopt, 0},
      {"object root", R"({"a":[1,2,3]})", 0},
      {"invalid", "[{\"ts\":1},", 0},
      {"as many as kept", events_json(1, 10), 10},
      {"fewer than kept", events_json(1, 10), 20},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    std::remove(log_path().c_str());
    if (k.file) write_log(*k.file);
    EXPECT_EQ(id_audit_prune(k.keep), 0);
    ASSERT_EQ(TempDataDir::exists(log_path()), k.file.has_value());
    // The files here are compact: a rewrite would pretty-print them.
    if (k.file) {
      EXPECT_EQ(read_log(), *k.file);
    }
  }
}

TEST_F(AuditTest, FailedSaveLeavesTheLogIntactAndIsLogged) {
  write_events(1, 10);
  const std::string before = read_log();
  fault.ops().rename = fail_rename;
  EXPECT_EQ(id_audit_record("signout", "u", "n", "1.2.3.4", nullptr), -1);
  EXPECT_EQ(id_audit_prune(2), -1);
  EXPECT_EQ(read_log(), before);
  EXPECT_FALSE(TempDataDir::exists(log_path() + ".tmp"));
  expect_one_log_line(
      "AUDIT: save failed for audit_log.json (event=signout) \xE2\x80\x94 sign-in unaffected");
}

TEST_F(AuditTest, LockHeldElsewhereIsLogged) {
  PlatformFault seam;
  seam.ops().sleep_ms = no_sleep;
  write_events(1, 3);
  const std::string before = read_log();
  id_lock elsewhere;
  ASSERT_EQ(id_lock_acquire_wait(&elsewhere, "audit_log.json", 0), 0);
  EXPECT_EQ(id_audit_record("signout", nullptr, nullptr, nullptr, nullptr), -1);
  id_lock_release(&elsewhere);
  EXPECT_EQ(read_log(), before);
  expect_one_log_line(
      "AUDIT: lock failed for audit_log.json (event=signout) \xE2\x80\x94 sign-in unaffected");
}

}  // namespace
