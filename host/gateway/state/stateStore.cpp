#include "stateStore.h"

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <utility>

#include "stateFiles.h"

namespace fs = std::filesystem;

namespace host::state {

namespace {

// Marks the file as this program's state, so another program's database is told apart ("DvTr").
constexpr std::int32_t kApplicationId = 0x44765472;

constexpr const char* kSchema = R"sql(
CREATE TABLE channel (
    name BLOB PRIMARY KEY NOT NULL,
    text BLOB,
    etag TEXT NOT NULL DEFAULT '',
    last_modified INTEGER,
    last_fetch INTEGER,
    next_fetch INTEGER,
    last_success INTEGER,
    last_status INTEGER NOT NULL DEFAULT 0,
    last_error BLOB NOT NULL DEFAULT '',
    fetches INTEGER NOT NULL DEFAULT 0,
    failures INTEGER NOT NULL DEFAULT 0,
    failure_streak INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE item (
    channel BLOB NOT NULL,
    guid BLOB NOT NULL,
    first_seen INTEGER NOT NULL,
    last_seen INTEGER NOT NULL,
    PRIMARY KEY (channel, guid)
) WITHOUT ROWID;
CREATE TABLE lease (
    channel BLOB PRIMARY KEY NOT NULL,
    holder TEXT NOT NULL,
    expires INTEGER NOT NULL
);
)sql";

// Times are stored as milliseconds since the epoch.
std::int64_t toMillis(TimePoint time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}
TimePoint fromMillis(std::int64_t millis) {
    return TimePoint(
        std::chrono::duration_cast<TimePoint::duration>(std::chrono::milliseconds(millis)));
}

std::string describe(sqlite3* db, const std::string& path) {
    return std::string(db != nullptr ? sqlite3_errmsg(db) : "out of memory") + ": " +
           (path.empty() ? std::string("(in memory)") : path);
}

// A failure of SQLite itself, with its result code, so that opening can tell a file that is no
// database from other trouble.
class SqliteFailure : public StateError {
  public:
    SqliteFailure(int code, const std::string& message) : StateError(message), code_(code) {}
    int code() const noexcept { return code_; }

  private:
    int code_;
};

// Owns a prepared statement.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql, const std::string& path) : db_(db), path_(path) {
        const int result = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
        if (result != SQLITE_OK) {
            fail(result);
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const std::string& bytes) {
        check(sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_STATIC));
        return *this;
    }
    Statement& bindText(int index, const std::string& text) {
        check(sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_STATIC,
                                  SQLITE_UTF8));
        return *this;
    }
    Statement& bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Statement& bind(int index, const std::optional<TimePoint>& time) {
        check(time ? sqlite3_bind_int64(statement_, index, toMillis(*time))
                   : sqlite3_bind_null(statement_, index));
        return *this;
    }

    // True while there is a row to read.
    bool step() {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result == SQLITE_DONE) {
            return false;
        }
        fail(result);
    }
    void run() {
        while (step()) {
        }
        sqlite3_reset(statement_);
    }
    void reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }

    bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::string bytes(int column) const {
        const void* data = sqlite3_column_blob(statement_, column);
        const int size = sqlite3_column_bytes(statement_, column);
        return data != nullptr
                   ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                   : std::string();
    }
    std::optional<TimePoint> time(int column) const {
        return isNull(column) ? std::nullopt : std::optional(fromMillis(integer(column)));
    }

  private:
    void check(int result) {
        if (result != SQLITE_OK) {
            fail(result);
        }
    }
    [[noreturn]] void fail(int result) {
        if (result == SQLITE_BUSY || result == SQLITE_LOCKED) {
            throw SqliteFailure(result,
                                "The state file stayed locked by another process: " + path_);
        }
        throw SqliteFailure(result, "Can't use the state file: " + describe(db_, path_));
    }

    sqlite3* db_;
    const std::string& path_;
    sqlite3_stmt* statement_ = nullptr;
};

void execute(sqlite3* db, const char* sql, const std::string& path) {
    char* message = nullptr;
    const int result = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (result != SQLITE_OK) {
        const std::string text = message != nullptr ? message : sqlite3_errstr(result);
        sqlite3_free(message);
        if (result == SQLITE_BUSY || result == SQLITE_LOCKED) {
            throw StateError("The state file stayed locked by another process: " + path);
        }
        throw StateError("Can't use the state file: " + text + ": " +
                         (path.empty() ? std::string("(in memory)") : path));
    }
}

// A write transaction, rolled back unless committed. IMMEDIATE takes the write lock at once, so a
// decision read inside it cannot be overtaken by another process.
class Transaction {
  public:
    Transaction(sqlite3* db, const std::string& path) : db_(db), path_(path) {
        execute(db_, "BEGIN IMMEDIATE", path_);
    }
    ~Transaction() {
        if (!committed_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        execute(db_, "COMMIT", path_);
        committed_ = true;
    }

  private:
    sqlite3* db_;
    const std::string& path_;
    bool committed_ = false;
};

// Renames the file and its journal files to PATH.REASON-STAMP; returns the new name.
std::string setAside(const std::string& path, const std::string& reason) {
    const auto timeStamp = [] { return text::isoBasicDate(std::chrono::system_clock::now()); };
    std::string target = path + "." + reason + "-" + timeStamp();
    for (int n = 2; fs::exists(target); ++n) {
        target = path + "." + reason + "-" + timeStamp() + "-" + std::to_string(n);
    }
    std::error_code error;
    fs::rename(path, target, error);
    if (error) {
        throw StateError("Can't set the state file aside: " + path + " -> " + target + ": " +
                         error.message());
    }
    // A journal left beside a new file would be replayed into it.
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        if (fs::exists(path + suffix, error)) {
            fs::rename(path + suffix, target + suffix, error);
            if (error) {
                throw StateError("Can't set the state file aside: " + path + suffix + ": " +
                                 error.message());
            }
        }
    }
    return target;
}

std::string randomHolder() {
    std::random_device random;
    const std::uint64_t value = (std::uint64_t{random()} << 32) ^ random();
    char text[40];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// Why an existing file must be set aside; an empty reason when it is usable.
struct Verdict {
    std::string reason;  // in the set-aside name
    std::string details;
};

// Looks at an existing file through a read-only connection, which changes nothing: a read-write
// one would already discard a journal that does not fit the file.
Verdict inspect(const std::string& path) {
    sqlite3* db = nullptr;
    const int opened =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> owner(db, sqlite3_close_v2);
    if (opened != SQLITE_OK) {
        throw StateError("Can't open the state file: " + describe(db, path));
    }
    sqlite3_busy_timeout(db, 10000);
    try {
        // Reading the header fails on a file that is no database at all.
        Statement id(db, "PRAGMA application_id", path);
        id.step();
        const auto applicationId = static_cast<std::int32_t>(id.integer(0));
        Statement version(db, "PRAGMA user_version", path);
        version.step();
        const auto schemaVersion = static_cast<std::int32_t>(version.integer(0));
        Statement tables(db, "SELECT count(*) FROM sqlite_master", path);
        tables.step();
        const std::int64_t tableCount = tables.integer(0);
        Statement check(db, "PRAGMA quick_check", path);
        check.step();
        const std::string checked = check.bytes(0);
        if (checked != "ok") {
            return {"corrupt", "it is damaged or not a database (" + checked + ")"};
        }
        // Older versions of this state are brought up to date when opened.
        if (applicationId == kApplicationId &&
            (schemaVersion < 1 || schemaVersion > StateStore::kSchemaVersion)) {
            return {"other-schema", "it holds another version's state (schema " +
                                        std::to_string(schemaVersion) + ", this program reads " +
                                        std::to_string(StateStore::kSchemaVersion) + ")"};
        }
        if (applicationId != kApplicationId && tableCount != 0) {
            return {"other-schema", "it is another program's database"};
        }
        return {};
    } catch (const SqliteFailure& e) {
        const int code = e.code() & 0xFF;  // the primary code
        if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT) {
            return {"corrupt", std::string("it is damaged or not a database (") +
                                   sqlite3_errstr(e.code()) + ")"};
        }
        throw;
    }
}

}  // namespace

StateStore::StateStore(const std::string& path, Report report)
    : path_(path), holder_(randomHolder()) {
    open(report);
}

StateStore::~StateStore() {
    sqlite3_close_v2(db_);
}

void StateStore::open(Report& report) {
    if (!path_.empty()) {
        std::error_code error;
        const fs::path parent = fs::path(path_).parent_path();
        if (!parent.empty()) {
            makePrivateDirectories(parent);
        }
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            checkPrivate(path_ + suffix);
        }
        if (fs::exists(path_, error)) {
            const Verdict verdict = inspect(path_);
            if (!verdict.reason.empty()) {
                const std::string aside = setAside(path_, verdict.reason);
                if (report) {
                    report("The state file " + path_ + " was set aside as " + aside + ": " +
                           verdict.details + "; a new state is started");
                }
            }
        }
    }
    if (!path_.empty()) {
        createPrivate(path_);
    }
    const std::string name = path_.empty() ? ":memory:" : path_;
    if (sqlite3_open_v2(
            name.c_str(), &db_,
            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
            nullptr) != SQLITE_OK) {
        const std::string why = describe(db_, path_);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw StateError("Can't open the state file: " + why);
    }
    sqlite3_busy_timeout(db_, 10000);
    if (!path_.empty()) {
        // The write-ahead log lets readers on; NORMAL is safe against a killed process.
        execute(db_, "PRAGMA journal_mode=WAL", path_);
        execute(db_, "PRAGMA synchronous=NORMAL", path_);
    }
    createSchema();
}

void StateStore::createSchema() {
    Transaction transaction(db_, path_);
    // Inside the write lock: another process may have created it meanwhile.
    Statement version(db_, "PRAGMA user_version", path_);
    version.step();
    const std::int64_t found = version.integer(0);
    version.reset();
    if (found == kSchemaVersion) {
        return;
    }
    if (found == 1) {
        execute(db_, "ALTER TABLE channel ADD COLUMN failure_streak INTEGER NOT NULL DEFAULT 0",
                path_);
    } else {
        execute(db_, kSchema, path_);
    }
    execute(db_,
            ("PRAGMA application_id=" + std::to_string(kApplicationId) +
             "; PRAGMA user_version=" + std::to_string(kSchemaVersion))
                .c_str(),
            path_);
    transaction.commit();
}

namespace {

constexpr const char* kSelectChannel =
    "SELECT text, etag, last_modified, last_fetch, next_fetch, last_success, last_status, "
    "last_error, fetches, failures, failure_streak FROM channel WHERE name = ?1";

std::optional<StoredChannel> readChannel(sqlite3* db, const std::string& path,
                                         const std::string& channel) {
    Statement select(db, kSelectChannel, path);
    select.bind(1, channel);
    if (!select.step()) {
        return std::nullopt;
    }
    StoredChannel stored;
    if (!select.isNull(0)) {
        stored.text = select.bytes(0);
    }
    stored.etag = select.bytes(1);
    stored.lastModified = select.time(2);
    stored.lastFetch = select.time(3);
    stored.nextFetch = select.time(4);
    stored.lastSuccess = select.time(5);
    stored.lastStatus = static_cast<int32_t>(select.integer(6));
    stored.lastError = select.bytes(7);
    stored.fetches = static_cast<std::uint64_t>(select.integer(8));
    stored.failures = static_cast<std::uint64_t>(select.integer(9));
    stored.failureStreak = static_cast<std::uint32_t>(select.integer(10));
    return stored;
}

}  // namespace

std::optional<StoredChannel> StateStore::load(const std::string& channel) {
    std::lock_guard lock(mutex_);
    return readChannel(db_, path_, channel);
}

std::vector<std::string> StateStore::channels() {
    std::lock_guard lock(mutex_);
    Statement select(db_, "SELECT name FROM channel ORDER BY name", path_);
    std::vector<std::string> names;
    while (select.step()) {
        names.push_back(select.bytes(0));
    }
    return names;
}

FetchClaim StateStore::claimFetch(const std::string& channel, TimePoint now,
                                  std::chrono::seconds leaseFor,
                                  std::optional<std::chrono::seconds> longestWait) {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_, path_);
    FetchClaim claim;
    if (auto stored = readChannel(db_, path_, channel)) {
        claim.stored = std::move(*stored);
    }
    const std::optional<TimePoint>& next = claim.stored.nextFetch;
    if (next && now < *next && (!longestWait || *next <= now + *longestWait)) {
        claim.decision = FetchDecision::notNeeded;
        return claim;
    }
    Statement lease(db_, "SELECT holder, expires FROM lease WHERE channel = ?1", path_);
    lease.bind(1, channel);
    if (lease.step() && lease.bytes(0) != holder_ && fromMillis(lease.integer(1)) > now &&
        fromMillis(lease.integer(1)) <= now + leaseFor) {
        claim.decision = FetchDecision::fetchingElsewhere;
        claim.leaseExpires = fromMillis(lease.integer(1));
        return claim;
    }
    lease.reset();
    claim.leaseExpires = now + leaseFor;
    Statement take(
        db_, "INSERT OR REPLACE INTO lease (channel, holder, expires) VALUES (?1, ?2, ?3)", path_);
    take.bind(1, channel).bindText(2, holder_).bind(3, toMillis(claim.leaseExpires));
    take.run();
    transaction.commit();
    claim.decision = FetchDecision::fetch;
    return claim;
}

std::vector<TimePoint> StateStore::recordFetch(const std::string& channel,
                                               const FetchResult& result,
                                               std::optional<TimePoint>* lastModified) {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_, path_);
    const std::optional<StoredChannel> stored = readChannel(db_, path_, channel);
    const bool success = result.status == 0;

    StoredChannel next = stored.value_or(StoredChannel{});
    next.lastFetch = result.started;
    next.nextFetch = result.nextFetch;
    next.lastStatus = result.status;
    next.lastError = success ? std::string() : result.error;
    next.failureStreak = success ? 0 : result.failureStreak;
    ++next.fetches;
    if (success) {
        if (!next.text || *next.text != result.text || !next.lastModified) {
            next.lastModified = result.started;
        }
        next.text = result.text;
        next.etag = result.etag;
        next.lastSuccess = result.started;
    } else {
        ++next.failures;
    }

    Statement write(db_,
                    "INSERT OR REPLACE INTO channel (name, text, etag, last_modified, last_fetch, "
                    "next_fetch, last_success, last_status, last_error, fetches, failures, "
                    "failure_streak) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)",
                    path_);
    write.bind(1, channel);
    if (next.text) {
        write.bind(2, *next.text);
    }
    write.bindText(3, next.etag)
        .bind(4, next.lastModified)
        .bind(5, next.lastFetch)
        .bind(6, next.nextFetch)
        .bind(7, next.lastSuccess)
        .bind(8, std::int64_t{next.lastStatus})
        .bind(9, next.lastError)
        .bind(10, static_cast<std::int64_t>(next.fetches))
        .bind(11, static_cast<std::int64_t>(next.failures))
        .bind(12, static_cast<std::int64_t>(next.failureStreak));
    write.run();

    std::vector<TimePoint> firstSeen;
    if (success) {
        const std::int64_t started = toMillis(result.started);
        Statement see(db_,
                      "INSERT INTO item (channel, guid, first_seen, last_seen) "
                      "VALUES (?1, ?2, ?3, ?3) ON CONFLICT (channel, guid) "
                      "DO UPDATE SET last_seen = max(last_seen, excluded.last_seen) "
                      "RETURNING first_seen",
                      path_);
        firstSeen.reserve(result.guids.size());
        for (const std::string& guid : result.guids) {
            see.bind(1, channel).bind(2, guid).bind(3, started);
            see.step();
            firstSeen.push_back(fromMillis(see.integer(0)));
            see.run();  // RETURNING rows must be stepped to the end before the next use
            see.reset();
        }
        Statement prune(db_, "DELETE FROM item WHERE channel = ?1 AND last_seen < ?2", path_);
        prune.bind(1, channel).bind(2, toMillis(result.started - kItemRetention));
        prune.run();
    }

    Statement release(db_, "DELETE FROM lease WHERE channel = ?1 AND holder = ?2", path_);
    release.bind(1, channel).bindText(2, holder_);
    release.run();
    transaction.commit();
    if (lastModified != nullptr && next.lastModified) {
        // As it reads back: to the millisecond.
        *lastModified = fromMillis(toMillis(*next.lastModified));
    }
    return firstSeen;
}

void StateStore::releaseClaim(const std::string& channel) {
    std::lock_guard lock(mutex_);
    Statement release(db_, "DELETE FROM lease WHERE channel = ?1 AND holder = ?2", path_);
    release.bind(1, channel).bindText(2, holder_);
    release.run();
}

void StateStore::keepOnly(const std::vector<std::string>& channels) {
    std::lock_guard lock(mutex_);
    const std::set<std::string> kept(channels.begin(), channels.end());
    Transaction transaction(db_, path_);
    std::vector<std::string> gone;
    {
        Statement select(db_,
                         "SELECT name FROM channel UNION SELECT channel FROM item "
                         "UNION SELECT channel FROM lease",
                         path_);
        while (select.step()) {
            if (kept.count(select.bytes(0)) == 0) {
                gone.push_back(select.bytes(0));
            }
        }
    }
    for (const char* sql :
         {"DELETE FROM channel WHERE name = ?1", "DELETE FROM item WHERE channel = ?1",
          "DELETE FROM lease WHERE channel = ?1"}) {
        Statement drop(db_, sql, path_);
        for (const std::string& name : gone) {
            drop.bind(1, name);
            drop.run();
            drop.reset();
        }
    }
    transaction.commit();
}

std::map<std::string, TimePoint> StateStore::itemDates(const std::string& channel) {
    std::lock_guard lock(mutex_);
    Statement select(db_, "SELECT guid, first_seen FROM item WHERE channel = ?1", path_);
    select.bind(1, channel);
    std::map<std::string, TimePoint> dates;
    while (select.step()) {
        dates.emplace(select.bytes(0), fromMillis(select.integer(1)));
    }
    return dates;
}

std::string defaultStatePath() {
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    if (stateHome != nullptr && fs::path(stateHome).is_absolute()) {
        return (fs::path(stateHome) / "dovetrail" / "state.sqlite3").string();
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && fs::path(home).is_absolute()) {
        return (fs::path(home) / ".local" / "state" / "dovetrail" / "state.sqlite3").string();
    }
    throw StateError(
        "Can't tell where to keep the state: neither XDG_STATE_HOME nor HOME is an absolute path");
}

std::shared_ptr<StateStore> openState(const std::optional<std::string>& path,
                                      StateStore::Report report) {
    return std::make_shared<StateStore>(path ? *path : defaultStatePath(), std::move(report));
}

}  // namespace host::state
