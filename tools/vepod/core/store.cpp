#include "core/store.h"

#include <ctime>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "core/text.h"
#include "core/url.h"

namespace {

// How long a second vepod waits for another one's write before giving up.
constexpr int k_busy_timeout_ms = 60000;

// Each step brings the schema from version i to i + 1 (PRAGMA user_version); never edit one that
// has shipped, append another.
constexpr const char *k_migrations[] = {
    R"(CREATE TABLE subscriptions(
         id INTEGER PRIMARY KEY,
         url TEXT NOT NULL UNIQUE,
         title TEXT NOT NULL DEFAULT '',
         added INTEGER NOT NULL,
         last_update INTEGER,
         last_error TEXT);
       CREATE TABLE episodes(
         id INTEGER PRIMARY KEY,
         subscription INTEGER NOT NULL REFERENCES subscriptions(id) ON DELETE CASCADE,
         guid TEXT NOT NULL,
         title TEXT NOT NULL,
         published_ms INTEGER NOT NULL,
         media_url TEXT NOT NULL,
         size INTEGER NOT NULL,
         duration_s INTEGER NOT NULL,
         entry TEXT NOT NULL,
         first_seen INTEGER NOT NULL,
         is_new INTEGER NOT NULL,
         played INTEGER,
         downloaded INTEGER,
         file TEXT,
         UNIQUE(subscription, guid));
       CREATE INDEX episodes_by_date ON episodes(subscription, published_ms);
       CREATE TABLE http_bodies(
         url TEXT PRIMARY KEY,
         etag TEXT NOT NULL,
         last_modified TEXT NOT NULL,
         body BLOB NOT NULL,
         fetched INTEGER NOT NULL);)",
    // What an unfinished download left, so that only its own episode resumes it.
    R"(ALTER TABLE episodes ADD COLUMN part_file TEXT;
       ALTER TABLE episodes ADD COLUMN part_url TEXT;
       ALTER TABLE episodes ADD COLUMN part_size INTEGER;
       ALTER TABLE episodes ADD COLUMN part_validator TEXT;)",
    // Episodes get a number of their own in their feed, kept for good, so that a reference
    // printed today ("3.12") names the same episode after later updates; oldest first.
    R"(ALTER TABLE episodes ADD COLUMN number INTEGER;
       UPDATE episodes SET number = (SELECT count(*) FROM episodes o
         WHERE o.subscription = episodes.subscription AND (o.published_ms < episodes.published_ms
           OR (o.published_ms = episodes.published_ms AND o.id <= episodes.id)));
       CREATE UNIQUE INDEX episodes_by_number ON episodes(subscription, number);
       CREATE TABLE settings(key TEXT PRIMARY KEY, value TEXT NOT NULL);)",
    // Numbers that are never given twice: a subscription keeps the number it has today (its
    // place in the list) and a new one takes the next never given; an episode's number comes from
    // its subscription's counter, which trimming episodes never lowers.
    R"(ALTER TABLE subscriptions ADD COLUMN number INTEGER;
       UPDATE subscriptions SET number =
         (SELECT count(*) FROM subscriptions o WHERE o.id <= subscriptions.id);
       CREATE UNIQUE INDEX subscriptions_by_number ON subscriptions(number);
       ALTER TABLE subscriptions ADD COLUMN last_episode_number INTEGER NOT NULL DEFAULT 0;
       UPDATE subscriptions SET last_episode_number =
         (SELECT coalesce(max(number), 0) FROM episodes WHERE subscription = subscriptions.id);
       CREATE TABLE counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL);
       INSERT INTO counters(name, value)
         VALUES('subscription', (SELECT coalesce(max(number), 0) FROM subscriptions));
       CREATE TABLE moves(
         subscription INTEGER NOT NULL REFERENCES subscriptions(id) ON DELETE CASCADE,
         from_url TEXT NOT NULL,
         at INTEGER NOT NULL,
         refusal_said INTEGER NOT NULL DEFAULT 0);)",
    // The last search's results, for 'subscribe --result N'; and how many of its newest episodes
    // the first update of an imported feed leaves new (NULL: one).
    R"(CREATE TABLE search_results(
         number INTEGER PRIMARY KEY,
         title TEXT NOT NULL,
         author TEXT NOT NULL,
         episodes INTEGER NOT NULL,
         url TEXT NOT NULL);
       ALTER TABLE subscriptions ADD COLUMN first_new INTEGER;)",
};

class statement {
 public:
  statement(sqlite3 *db, const char *sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) fail();
  }
  ~statement() { sqlite3_finalize(stmt_); }
  statement(const statement &) = delete;
  statement &operator=(const statement &) = delete;

  statement &bind(int i, int64_t value) {
    check(sqlite3_bind_int64(stmt_, i, value));
    return *this;
  }
  statement &bind(int i, std::string_view text) {
    check(
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    return *this;
  }
  statement &bind_blob(int i, std::string_view bytes) {
    check(sqlite3_bind_blob(stmt_, i, bytes.data(), static_cast<int>(bytes.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  // Ready to run again with new bindings.
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  // True while rows come.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) fail();
    return false;
  }
  int64_t integer(int i, int64_t null_value = -1) const {
    return sqlite3_column_type(stmt_, i) == SQLITE_NULL ? null_value
                                                        : sqlite3_column_int64(stmt_, i);
  }
  std::string text(int i) const {
    const void *p = sqlite3_column_blob(stmt_, i);
    return p == nullptr ? std::string()
                        : std::string(static_cast<const char *>(p),
                                      static_cast<size_t>(sqlite3_column_bytes(stmt_, i)));
  }

 private:
  void check(int rc) const {
    if (rc != SQLITE_OK) fail();
  }
  [[noreturn]] void fail() const {
    throw store_error(std::string("database: ") + sqlite3_errmsg(db_));
  }
  sqlite3 *db_;
  sqlite3_stmt *stmt_ = nullptr;
};

// The episode query read_episode reads, column for column; callers add their WHERE and ORDER BY.
#define SELECT_EPISODES_WITH(entry)                                                             \
  "SELECT e.id, e.subscription, f.title, e.guid, e.title, e.published_ms, e.media_url, e.size," \
  " e.duration_s, " entry                                                                       \
  ", e.first_seen, e.is_new, e.downloaded, e.file, e.played, e.number,"                         \
  " f.number"                                                                                   \
  " FROM episodes e JOIN subscriptions f ON f.id = e.subscription"
#define SELECT_EPISODES SELECT_EPISODES_WITH("e.entry")

episode read_episode(const statement &s) {
  episode e;
  e.id = s.integer(0);
  e.subscription = s.integer(1);
  e.feed_title = s.text(2);
  e.guid = s.text(3);
  e.title = s.text(4);
  e.published_ms = s.integer(5);
  e.media_url = s.text(6);
  e.size = s.integer(7);
  e.duration_s = s.integer(8);
  e.entry = s.text(9);
  e.first_seen = s.integer(10);
  e.is_new = s.integer(11) != 0;
  e.downloaded = s.integer(12);
  e.file = s.text(13);
  e.played = s.integer(14);
  e.number = s.integer(15);
  e.feed_number = s.integer(16);
  return e;
}

}  // namespace

std::string default_store_path() {
  const char *data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/vepod/vepod.db";
  const char *home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0')
    throw store_error("neither XDG_DATA_HOME nor HOME is set: name the database with --db PATH");
  return std::string(home) + "/.local/share/vepod/vepod.db";
}

namespace {

// The folders of `folder` that are missing, made readable by their owner only: the database keeps
// validators and URLs with credentials.
void make_private_folders(const std::filesystem::path &folder) {
  if (folder.empty()) return;
  std::error_code ec;
  if (std::filesystem::exists(folder, ec)) return;
  make_private_folders(folder.parent_path());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw store_error(folder.string() + ": " + std::strerror(errno));
}

// The same for the database file: created 0600, and an older one narrowed to that.
void make_private_file(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;  // sqlite3_open_v2 names the problem
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0 &&
      fchmod(fd, st.st_mode & 0700) != 0) {
    int error_number = errno;
    close(fd);
    throw store_error(path + ": cannot make it private: " + std::strerror(error_number));
  }
  close(fd);
}

}  // namespace

void store::open(const std::string &path, int flags) {
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    std::string message = path + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot open the database");
    sqlite3_close(db_);
    db_ = nullptr;
    throw store_error(message);
  }
  sqlite3_busy_timeout(db_, k_busy_timeout_ms);
  // The file is data, never code: nothing in its schema may call functions with side effects,
  // and SQL cannot corrupt it on purpose (writable_schema, direct page writes).
  int untrusted = 1, defensive = 0;
  if (sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, &untrusted) != SQLITE_OK ||
      sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, &defensive) != SQLITE_OK ||
      untrusted != 0 || defensive != 1) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw store_error(path + ": this SQLite cannot open a database defensively");
  }
}

int64_t store::schema_version() {
  statement version(db_, "PRAGMA user_version");
  version.step();
  return version.integer(0, 0);
}

// Opens `path` read-only and answers its schema version. A database in WAL mode needs its
// shared-memory file even to be read; where that cannot be made (a read-only folder), it is read
// as an immutable file instead.
int64_t store::read_only_version(const std::string &path) {
  try {
    open(path, SQLITE_OPEN_READONLY);
    return schema_version();
  } catch (const store_error &) {
    int code = db_ != nullptr ? sqlite3_errcode(db_) : SQLITE_CANTOPEN;
    if (code != SQLITE_READONLY && code != SQLITE_CANTOPEN) throw;
    sqlite3_close(db_);
    db_ = nullptr;
  }
  std::string uri = "file:";
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      static constexpr char k_hex[] = "0123456789ABCDEF";
      uri += '%';
      uri += k_hex[static_cast<unsigned char>(c) >> 4];
      uri += k_hex[c & 0xF];
    } else {
      uri += c;
    }
  }
  open(uri + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
  return schema_version();
}

store::store(const std::string &path, access mode) {
  std::error_code ec;
  if (mode == access::read && !std::filesystem::exists(path, ec)) {
    // Nothing recorded yet: an empty database in memory answers, and nothing is created.
    open(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY);
    migrate();
    writable_ = false;
    return;
  }
  try {
    if (mode == access::read) {
      int64_t version = read_only_version(path);
      if (version == static_cast<int64_t>(std::size(k_migrations))) {
        refuse_foreign_schema(path);
        exec("PRAGMA foreign_keys=ON");
        writable_ = false;
        return;
      }
      // An older schema is brought up to date first, which takes writing.
      sqlite3_close(db_);
      db_ = nullptr;
    }
    make_private_folders(std::filesystem::path(path).parent_path());
    make_private_file(path);
    open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    refuse_foreign_schema(path);
    // WAL lets readers and one writer work at once; with synchronous=NORMAL a killed process
    // loses at most the transaction it was in.
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    exec("PRAGMA foreign_keys=ON");
    migrate();
  } catch (const store_error &e) {
    int code = db_ != nullptr ? sqlite3_errcode(db_) : SQLITE_OK;
    sqlite3_close(db_);
    db_ = nullptr;
    if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT)
      throw store_error(path + ": not a vepod database, or a damaged one (" + e.what() +
                        "); move it aside to start afresh, or name another with --db PATH");
    if (code == SQLITE_READONLY)
      throw store_error(path + ": read-only, and this command writes (" + e.what() +
                        "); make it writable, or name another with --db PATH");
    throw;
  }
}

// vepod creates no triggers and no views: one found in the file was planted, and would run
// inside vepod's own statements (rewriting a subscription, or never ending).
void store::refuse_foreign_schema(const std::string &path) {
  statement s(db_,
              "SELECT type, name FROM sqlite_schema WHERE type IN ('trigger', 'view') LIMIT 1");
  if (s.step())
    throw store_error(path + ": holds a " + s.text(0) + " ('" + s.text(1) +
                      "') that vepod did not create; it is not used (remove the " + s.text(0) +
                      ", or name another database with --db)");
}

store::~store() { sqlite3_close(db_); }

void store::exec(const char *sql) {
  char *message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = std::string("database: ") + (message ? message : sqlite3_errmsg(db_));
    sqlite3_free(message);
    throw store_error(text);
  }
}

void store::migrate() {
  transaction t(*this);
  int64_t have = schema_version();
  constexpr int64_t want = std::size(k_migrations);
  if (have > want)
    throw store_error("database: schema version " + std::to_string(have) +
                      " is newer than this vepod knows (" + std::to_string(want) + ")");
  for (int64_t v = have; v < want; v++) exec(k_migrations[v]);
  if (have != want) exec(("PRAGMA user_version=" + std::to_string(want)).c_str());
  t.commit();
}

// IMMEDIATE takes the write lock at once: a read that later wants to write could otherwise fail
// with SQLITE_BUSY without waiting, when another process wrote in between.
store::transaction::transaction(store &s) : store_(s) { store_.exec("BEGIN IMMEDIATE"); }

store::transaction::~transaction() {
  if (!done_) sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void store::transaction::commit() {
  store_.exec("COMMIT");
  done_ = true;
}

std::vector<subscription> store::subscriptions() {
  statement s(db_,
              "SELECT id, url, title, added, last_update, last_error,"
              " (SELECT count(*) FROM episodes WHERE subscription = subscriptions.id), number"
              " FROM subscriptions ORDER BY number");
  std::vector<subscription> all;
  while (s.step())
    all.push_back({s.integer(0), s.text(1), s.text(2), s.integer(3), s.integer(4), s.text(5),
                   s.integer(6), s.integer(7)});
  return all;
}

int64_t store::subscribe(const std::string &url, const std::string &title) {
  statement s(db_,
              "INSERT INTO subscriptions(url, title, added, number) VALUES(?, ?, unixepoch(),"
              " (SELECT value + 1 FROM counters WHERE name = 'subscription'))"
              " ON CONFLICT(url) DO NOTHING");
  s.bind(1, url).bind(2, cut_bytes(title, k_max_title)).step();
  if (sqlite3_changes(db_) == 0) return 0;
  int64_t id = sqlite3_last_insert_rowid(db_);
  statement(db_, "UPDATE counters SET value = value + 1 WHERE name = 'subscription'").step();
  return id;
}

void store::unsubscribe(int64_t id) {
  statement(db_, "DELETE FROM subscriptions WHERE id = ?").bind(1, id).step();
}

void store::set_title(int64_t id, const std::string &title) {
  statement(db_, "UPDATE subscriptions SET title = ? WHERE id = ?")
      .bind(1, cut_bytes(title, k_max_title))
      .bind(2, id)
      .step();
}

bool store::move(int64_t id, const std::string &url, int64_t when) {
  statement taken(db_, "SELECT 1 FROM subscriptions WHERE url = ? AND id <> ?");
  taken.bind(1, url).bind(2, id);
  if (taken.step()) return false;
  statement(db_,
            "INSERT INTO moves(subscription, from_url, at) SELECT id, url, ? FROM subscriptions"
            " WHERE id = ?")
      .bind(1, when)
      .bind(2, id)
      .step();
  // The entries stored before the move name their folder by the old URL: they follow.
  statement(db_,
            "UPDATE episodes SET entry = json_set(entry, '$.path', ?1 || substr(json_extract(entry,"
            " '$.path'), length(f.url) + 1)) FROM subscriptions f WHERE f.id = ?2"
            " AND episodes.subscription = ?2 AND json_valid(entry)"
            " AND substr(json_extract(entry, '$.path'), 1, length(f.url) + 1) = f.url || '/'")
      .bind(1, url)
      .bind(2, id)
      .step();
  statement(db_, "UPDATE subscriptions SET url = ? WHERE id = ?").bind(1, url).bind(2, id).step();
  return true;
}

std::vector<store::recorded_move> store::moves_since(int64_t id, int64_t since) {
  statement s(db_,
              "SELECT rowid, from_url, refusal_said FROM moves WHERE subscription = ?"
              " AND at >= ? ORDER BY at DESC");
  s.bind(1, id).bind(2, since);
  std::vector<recorded_move> found;
  while (s.step()) found.push_back({s.integer(0), s.text(1), s.integer(2) != 0});
  return found;
}

void store::note_refusal_said(int64_t move) {
  statement(db_, "UPDATE moves SET refusal_said = 1 WHERE rowid = ?").bind(1, move).step();
}

void store::merge_into(int64_t from, int64_t into) {
  statement(db_,
            "UPDATE episodes AS t SET played = coalesce(t.played, f.played),"
            " downloaded = coalesce(t.downloaded, f.downloaded),"
            " file = CASE WHEN t.downloaded IS NULL THEN f.file ELSE t.file END"
            " FROM episodes AS f WHERE f.subscription = ?1 AND t.subscription = ?2"
            " AND t.guid = f.guid")
      .bind(1, from)
      .bind(2, into)
      .step();
  unsubscribe(from);
}

void store::set_updated(int64_t id, int64_t when, const std::string &error) {
  statement s(db_,
              "UPDATE subscriptions SET last_update = ?, last_error = nullif(?, '') WHERE id = ?");
  s.bind(1, when).bind(2, error).bind(3, id).step();
}

int64_t store::add_episode(const episode &e) {
  // An episode the feed still carries takes what the feed says of it now; its number and marks
  // stay.
  statement known(db_,
                  "UPDATE episodes SET title = ?3, published_ms = ?4, media_url = ?5, size = ?6,"
                  " duration_s = ?7, entry = ?8 WHERE subscription = ?1 AND guid = ?2");
  known.bind(1, e.subscription).bind(2, e.guid).bind(3, cut_bytes(e.title, k_max_title));
  known.bind(4, e.published_ms).bind(5, e.media_url).bind(6, e.size).bind(7, e.duration_s);
  known.bind(8, e.entry).step();
  if (sqlite3_changes(db_) != 0) return 0;
  statement counter(db_,
                    "UPDATE subscriptions SET last_episode_number = last_episode_number + 1"
                    " WHERE id = ? RETURNING last_episode_number");
  if (!counter.bind(1, e.subscription).step())
    throw store_error("database: no subscription " + std::to_string(e.subscription));
  int64_t number = counter.integer(0);
  while (counter.step()) {
  }
  statement s(db_,
              "INSERT INTO episodes(subscription, guid, title, published_ms, media_url, size,"
              " duration_s, entry, first_seen, is_new, number)"
              " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
  s.bind(1, e.subscription).bind(2, e.guid).bind(3, cut_bytes(e.title, k_max_title));
  s.bind(4, e.published_ms);
  s.bind(5, e.media_url).bind(6, e.size).bind(7, e.duration_s).bind(8, e.entry);
  s.bind(9, e.first_seen).bind(10, int64_t{e.is_new}).bind(11, number);
  s.step();
  return number;
}

recorded_update store::record_update(const feed_report &report) {
  recorded_update done;
  transaction t(*this);
  if (!report.error.empty()) {
    set_updated(report.subscription, report.when, report.error);
    t.commit();
    return done;
  }
  const std::vector<subscription> all = subscriptions();
  const subscription *self = nullptr;
  for (const subscription &s : all)
    if (s.id == report.subscription) self = &s;
  if (self == nullptr) return done;  // unsubscribed meanwhile: nothing to record
  if (report.title != self->title) set_title(self->id, report.title);
  std::vector<episode> listed = report.listed;
  // The newest few of a first update are new, for the listener may want them first (--new N).
  if (report.first)
    for (size_t i = 0; i < listed.size() && static_cast<int64_t>(i) < first_new(self->id); i++)
      listed[i].is_new = true;
  for (auto e = listed.rbegin(); e != listed.rend(); ++e) {
    e->number = add_episode(*e);
    if (e->number != 0 && e->is_new) done.fresh.push_back(std::move(*e));
  }
  trim_episodes(self->id);
  set_updated(self->id, report.when, "");
  if (!report.moved_to.empty() && report.moved_to != self->url) {
    constexpr int64_t k_move_memory_s = 30 * 86400;
    const std::string key = url_key(report.moved_to);
    bool refused = false;
    for (const recorded_move &m : moves_since(self->id, report.when - k_move_memory_s)) {
      if (url_key(m.from_url) != key) continue;
      if (!m.refusal_said) {
        done.move_refused = report.moved_to;
        note_refusal_said(m.id);
      }
      refused = true;
      break;
    }
    const subscription *joined = nullptr;
    for (const subscription &other : all)
      if (!refused && joined == nullptr && other.id != self->id && url_key(other.url) == key)
        joined = &other;
    if (joined != nullptr) {
      merge_into(self->id, joined->id);
      done.moved_to = joined->url;
      done.merged_into = joined->number;
      // Its episodes are the other subscription's now, under that one's references.
      done.fresh.clear();
    } else if (!refused && move(self->id, report.moved_to, report.when)) {
      done.moved_to = report.moved_to;
    }
  }
  t.commit();
  return done;
}

void store::trim_episodes(int64_t subscription) {
  statement s(db_,
              "DELETE FROM episodes WHERE subscription = ?1 AND played IS NULL"
              " AND downloaded IS NULL AND id NOT IN (SELECT id FROM episodes"
              " WHERE subscription = ?1 ORDER BY published_ms DESC, id DESC LIMIT ?2)");
  s.bind(1, subscription).bind(2, static_cast<int64_t>(k_max_episodes)).step();
}

#define EPISODES_WHERE                                                        \
  " WHERE (?1 = 0 OR e.subscription = ?1)"                                    \
  " AND (?2 = 0 OR (e.is_new AND e.downloaded IS NULL AND e.played IS NULL))" \
  " ORDER BY e.published_ms DESC, e.id LIMIT ?3"

std::vector<episode> store::episodes(int64_t subscription, bool only_new, int64_t limit,
                                     bool with_entries) {
  // A table of episodes needs no entry: reading them all would cost what feeds put there.
  statement s(db_, with_entries ? SELECT_EPISODES EPISODES_WHERE
                                : SELECT_EPISODES_WITH("''") EPISODES_WHERE);
  s.bind(1, subscription).bind(2, int64_t{only_new}).bind(3, limit);
  std::vector<episode> found;
  while (s.step()) found.push_back(read_episode(s));
  return found;
}

bool store::episode_by_number(int64_t subscription, int64_t number, episode &out) {
  statement s(db_, SELECT_EPISODES " WHERE e.subscription = ? AND e.number = ?");
  s.bind(1, subscription).bind(2, number);
  if (!s.step()) return false;
  out = read_episode(s);
  return true;
}

std::string store::setting(const std::string &key) {
  statement s(db_, "SELECT value FROM settings WHERE key = ?");
  s.bind(1, key);
  return s.step() ? s.text(0) : std::string();
}

void store::set_setting(const std::string &key, const std::string &value) {
  statement s(db_, "INSERT OR REPLACE INTO settings(key, value) VALUES(?, ?)");
  s.bind(1, key).bind(2, value).step();
}

void store::mark_downloaded(int64_t episode, int64_t when, const std::string &file) {
  statement s(db_,
              "UPDATE episodes SET downloaded = ?, file = ?, part_file = NULL, part_url = NULL,"
              " part_size = NULL, part_validator = NULL WHERE id = ?");
  s.bind(1, when).bind(2, file).bind(3, episode).step();
}

bool store::file_taken(const std::string &file, int64_t episode) {
  statement s(db_,
              "SELECT 1 FROM episodes WHERE (file = ?1 OR part_file = ?1 || '.part') AND id != ?2"
              " LIMIT 1");
  return s.bind(1, file).bind(2, episode).step();
}

bool store::partial(int64_t episode, partial_download &out) {
  statement s(db_,
              "SELECT part_file, part_url, part_size, part_validator FROM episodes"
              " WHERE id = ? AND part_file IS NOT NULL");
  if (!s.bind(1, episode).step()) return false;
  out = {s.text(0), s.text(1), s.text(3), s.integer(2)};
  return true;
}

void store::set_partial(int64_t episode, const partial_download &part) {
  statement s(db_,
              "UPDATE episodes SET part_file = ?, part_url = ?, part_size = ?, part_validator = ?"
              " WHERE id = ?");
  s.bind(1, part.file).bind(2, part.media_url).bind(3, part.size).bind(4, part.validator);
  s.bind(5, episode).step();
}

bool store::mark_played(int64_t episode, bool played, int64_t when) {
  statement s(db_,
              "UPDATE episodes SET played = CASE WHEN ?2 THEN ?3 END"
              " WHERE id = ?1 AND (played IS NULL) = ?2");
  s.bind(1, episode).bind(2, int64_t{played}).bind(3, when).step();
  return sqlite3_changes(db_) != 0;
}

bool store::load_body(const std::string &url, stored_body &out) {
  statement s(db_, "SELECT body, etag, last_modified, fetched FROM http_bodies WHERE url = ?");
  s.bind(1, url);
  if (!s.step()) return false;
  out = {s.text(0), s.text(1), s.text(2), s.integer(3)};
  return true;
}

bool store::load_validators(const std::string &url, stored_body &out) {
  statement s(db_, "SELECT etag, last_modified, fetched FROM http_bodies WHERE url = ?");
  s.bind(1, url);
  if (!s.step()) return false;
  out = {{}, s.text(0), s.text(1), s.integer(2)};
  return true;
}

void store::save_body(const std::string &url, const stored_body &body) {
  transaction t(*this);
  statement s(db_,
              "INSERT OR REPLACE INTO http_bodies(url, etag, last_modified, body, fetched)"
              " VALUES(?, ?, ?, ?, ?)");
  s.bind(1, url).bind(2, body.etag).bind(3, body.last_modified).bind_blob(4, body.body);
  s.bind(5, body.fetched).step();
  // Oldest first out, until the rest fits; the body just stored stays whatever its size.
  statement trim(db_,
                 "DELETE FROM http_bodies WHERE url IN (SELECT url FROM (SELECT url,"
                 " sum(length(body)) OVER (ORDER BY fetched DESC, url = ?1 DESC"
                 " ROWS UNBOUNDED PRECEDING) AS kept FROM http_bodies) WHERE kept > ?2)"
                 " AND url <> ?1");
  trim.bind(1, url).bind(2, k_max_bodies).step();
  t.commit();
}

void store::touch_body(const std::string &url, int64_t fetched) {
  transaction t(*this);
  statement(db_, "UPDATE http_bodies SET fetched = ? WHERE url = ?")
      .bind(1, fetched)
      .bind(2, url)
      .step();
  t.commit();
}

void store::forget_download(int64_t episode) {
  statement(db_, "UPDATE episodes SET downloaded = NULL, file = NULL WHERE id = ?")
      .bind(1, episode)
      .step();
}

void store::set_first_new(int64_t subscription, int64_t count) {
  statement(db_, "UPDATE subscriptions SET first_new = ? WHERE id = ?")
      .bind(1, count)
      .bind(2, subscription)
      .step();
}

int64_t store::first_new(int64_t subscription) {
  statement s(db_, "SELECT first_new FROM subscriptions WHERE id = ?");
  s.bind(1, subscription);
  return s.step() ? s.integer(0, 1) : 1;
}

void store::save_search(const std::vector<search_result> &results) {
  exec("DELETE FROM search_results");
  statement s(db_,
              "INSERT INTO search_results(number, title, author, episodes, url)"
              " VALUES(?, ?, ?, ?, ?)");
  int64_t number = 0;
  for (const search_result &r : results) {
    s.bind(1, ++number).bind(2, cut_bytes(r.title, k_max_title));
    s.bind(3, cut_bytes(r.author, k_max_title)).bind(4, r.episodes).bind(5, r.url);
    s.step();
    s.reset();
  }
}

std::vector<search_result> store::last_search() {
  statement s(db_, "SELECT title, author, episodes, url FROM search_results ORDER BY number");
  std::vector<search_result> found;
  while (s.step()) found.push_back({s.text(0), s.text(1), s.integer(2), s.text(3)});
  return found;
}

std::string episode_ref(const episode &e) {
  return std::to_string(e.feed_number) + "." + std::to_string(e.number);
}

int64_t now_s() { return static_cast<int64_t>(std::time(nullptr)); }
