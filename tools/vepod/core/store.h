// The program's state between runs: one SQLite database with the subscriptions, the episodes seen
// and the HTTP bodies with their validators for conditional requests.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

// Any failure of the database; the program reports it and stops.
class store_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct subscription {
  int64_t id = 0;
  std::string url, title;
  int64_t added = 0, last_update = -1;  // Unix seconds; -1: never
  std::string last_error;
  int64_t episodes = 0;
  int64_t number = 0;  // in 'vepod subscriptions': given once, never to another subscription
};

struct episode {
  int64_t id = 0;
  int64_t subscription = 0;
  std::string feed_title;
  std::string guid, title, media_url, entry;  // entry: the library's entry JSON
  int64_t published_ms = -1, size = -1, duration_s = -1;
  int64_t first_seen = 0;
  bool is_new = false;
  int64_t downloaded = -1;  // Unix seconds; -1: not downloaded
  std::string file;
  int64_t played = -1;      // Unix seconds; -1: not played
  int64_t number = 0;       // in its feed, for good: 1 the first recorded; 0 before it is stored
  int64_t feed_number = 0;  // its subscription's number in 'vepod subscriptions'
};

// An episode a command chose, with its subscription.
struct picked_episode {
  subscription feed;
  episode item;
};

// "3.12" for an episode: its subscription's number and its own number in the feed.
std::string episode_ref(const episode &e);

// Seconds since the epoch, as the database keeps times.
int64_t now_s();

// What an unfinished download of an episode left: the .part, the media URL and the size the feed
// announced when it began, and the validator (ETag or Last-Modified) of the bytes in it.
struct partial_download {
  std::string file, media_url, validator;
  int64_t size = -1;
};

// A podcast a directory found ('vepod search'), as the last search's results keep it.
struct search_result {
  std::string title, author;
  int64_t episodes = -1;  // -1: the directory did not say
  std::string url;        // the feed, checked as every URL the client takes
};

// A stored HTTP answer: the body and the validators that came with it.
struct stored_body {
  std::string body, etag, last_modified;
  int64_t fetched = 0;  // Unix seconds
};

// What an update learnt of one subscription's feed, for store::record_update.
struct feed_report {
  int64_t subscription = 0;
  int64_t when = 0;    // Unix seconds
  std::string error;   // the feed failed: only this and `when` are recorded
  std::string title;   // the feed's title now
  bool first = false;  // its first update (imported): what it lists is known, not new, but for
                       // the newest few (set_first_new)
  std::vector<episode> listed;  // newest first, as episodes_of reads them
  std::string moved_to;         // where a permanent move leads; "" when none was announced
};

// What recording an update changed.
struct recorded_update {
  std::vector<episode> fresh;  // the episodes recorded as new, oldest first, with their numbers
  std::string moved_to;        // the URL the subscription moved to; "" when it stayed
  int64_t merged_into = 0;     // the subscription (its number) it joined, which followed moved_to
  std::string move_refused;    // a move back to where it moved from lately, said once
};

class store {
 public:
  // Stored bodies are bounded in total; the ones fetched longest ago go first.
  static constexpr int64_t k_max_bodies = int64_t{256} << 20;
  // Episodes kept per subscription (the newest; played and downloaded ones stay whatever their
  // number): a feed that renames every guid on every fetch must not grow the database for ever.
  static constexpr size_t k_max_episodes = 5000;
  // Bytes kept of a title, subscription or episode: longer ones are cut (never inside a UTF-8
  // sequence) when stored.
  static constexpr size_t k_max_title = 1024;
  // Bytes of an episode's identifier or media URL that are kept: an episode whose identifier or
  // media URL is longer is not recorded (cut, it would name another episode or file).
  static constexpr size_t k_max_identifier = 8192;

  // What a command does with the state. A reader changes nothing on disk: it opens the database
  // read-only when its schema is current (so a read-only database serves it) and, when there is
  // no database yet, reads an empty one in memory instead of creating folders and files.
  enum class access { write, read };

  // Opens (for writing: creating folders and the database when needed) and migrates to the
  // current schema. A file that is not a database, or a damaged one, is named with what to do.
  explicit store(const std::string &path, access mode = access::write);
  ~store();
  store(const store &) = delete;
  store &operator=(const store &) = delete;

  // Every write happens inside one of these; they wait for other processes' writes to finish.
  class transaction {
   public:
    explicit transaction(store &s);
    ~transaction();  // rolls back unless committed
    void commit();

   private:
    store &store_;
    bool done_ = false;
  };

  std::vector<subscription> subscriptions();
  // 0 when the URL is already subscribed, else the new subscription's id.
  int64_t subscribe(const std::string &url, const std::string &title);
  void unsubscribe(int64_t id);
  void set_title(int64_t id, const std::string &title);
  // The URL a feed moved to (recorded with the URL it leaves, and the episodes' entries follow
  // it); false when another subscription already has it.
  bool move(int64_t id, const std::string &url, int64_t when);
  // The moves of a subscription since `since` (Unix seconds), newest first.
  struct recorded_move {
    int64_t id = 0;
    std::string from_url;
    bool refusal_said = false;  // a move back to from_url was refused and said so
  };
  std::vector<recorded_move> moves_since(int64_t id, int64_t since);
  void note_refusal_said(int64_t move);
  // A subscription that moved onto another's URL joins it: the played and downloaded marks of
  // the episodes both have go over, then the subscription is dropped.
  void merge_into(int64_t from, int64_t into);
  void set_updated(int64_t id, int64_t when, const std::string &error);
  // Records one update of a subscription in one transaction: for a failure, its error and time;
  // else its title, each episode listed (oldest first, so that the numbers episodes get in their
  // feed follow their dates), the bound on episodes, the time, and the move, unless that leads
  // back to where the subscription moved from within 30 days (two feeds that name each other as
  // their new home), merging it into a subscription that already follows the URL.
  recorded_update record_update(const feed_report &report);

  // Adds the episode unless the feed already has its guid: the number it got in its feed. An
  // episode it already has takes the title, date, media URL, size, duration and entry given, and
  // 0 is returned.
  int64_t add_episode(const episode &e);
  // The episode of a subscription (its id) with that number; false when there is none.
  bool episode_by_number(int64_t subscription, int64_t number, episode &out);
  // Deletes a subscription's episodes beyond the newest k_max_episodes, but for played and
  // downloaded ones.
  void trim_episodes(int64_t subscription);
  // A feed's episodes (or every feed's, for 0), newest first; without their entries (left
  // empty) unless `with_entries`.
  std::vector<episode> episodes(int64_t subscription, bool only_new, int64_t limit,
                                bool with_entries = true);
  // Records the file and forgets the episode's partial download.
  void mark_downloaded(int64_t episode, int64_t when, const std::string &file);
  // Whether an episode other than `episode` was downloaded to file, or is downloading to it.
  bool file_taken(const std::string &file, int64_t episode);
  // The partial download recorded for an episode; false when there is none.
  bool partial(int64_t episode, partial_download &out);
  void set_partial(int64_t episode, const partial_download &part);
  // Marks an episode played (keeping the first time it was) or not played; false when it
  // already was in that state.
  bool mark_played(int64_t episode, bool played, int64_t when);

  // Forgets an episode's file ('vepod clean'): it is no longer downloaded.
  void forget_download(int64_t episode);
  // How many of its newest episodes a subscription's first update leaves new (1 unless set).
  void set_first_new(int64_t subscription, int64_t count);
  int64_t first_new(int64_t subscription);
  // The last search's results, numbered from 1 in their order; saving replaces them.
  void save_search(const std::vector<search_result> &results);
  std::vector<search_result> last_search();

  // The program's settings ('vepod config'): "" for one never set.
  std::string setting(const std::string &key);
  void set_setting(const std::string &key, const std::string &value);

  bool load_body(const std::string &url, stored_body &out);
  // The validators and the time of the stored answer, without its body.
  bool load_validators(const std::string &url, stored_body &out);
  void save_body(const std::string &url, const stored_body &body);
  void touch_body(const std::string &url, int64_t fetched);

  // Whether this store can be written (a reader's may not).
  bool writable() const { return writable_; }

 private:
  void open(const std::string &path, int flags);
  int64_t schema_version();
  int64_t read_only_version(const std::string &path);
  void exec(const char *sql);
  void refuse_foreign_schema(const std::string &path);
  void migrate();
  sqlite3 *db_ = nullptr;
  bool writable_ = true;
};

// $XDG_DATA_HOME/vepod/vepod.db, or ~/.local/share/vepod/vepod.db.
std::string default_store_path();
