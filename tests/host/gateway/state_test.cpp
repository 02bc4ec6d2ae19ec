// The gateway's SQLite state: what survives closing and reopening, the fetch claims between two
// connections and two processes, a process killed while writing, and files that are not ours.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "stateStore.h"
#include "support/scopedEnv.h"
#include "support/tempDir.h"

namespace host::state {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing_support::TempDir;

TimePoint at(std::int64_t seconds) {
    return TimePoint(std::chrono::seconds(seconds));
}

FetchResult success(TimePoint started, std::chrono::seconds interval, std::string text,
                    std::vector<std::string> guids) {
    FetchResult result;
    result.started = started;
    result.nextFetch = started + interval;
    result.text = std::move(text);
    result.etag = "\"" + std::to_string(result.text.size()) + "\"";
    result.guids = std::move(guids);
    return result;
}

// Collects what a store reports.
struct Reports {
    std::vector<std::string> lines;
    StateStore::Report sink() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
};

TEST(StateStoreTest, AReopenedStateKeepsTextTagsDatesAndTheSchedule) {
    TempDir dir;
    const std::string path = dir.file("sub/dir/state.sqlite3");  // the directory is created
    const TimePoint t0 = at(1'700'000'000);
    {
        StateStore store(path);
        ASSERT_EQ(store.claimFetch("lounge", t0, 120s).decision, FetchDecision::fetch);
        const auto dates = store.recordFetch("lounge", success(t0, 300s, "text 1", {"a", "b"}));
        EXPECT_EQ(dates, (std::vector<TimePoint>{t0, t0}));
        // A later fetch with one new item: the old ones keep their dates.
        const TimePoint t1 = t0 + 400s;
        ASSERT_EQ(store.claimFetch("lounge", t1, 120s).decision, FetchDecision::fetch);
        EXPECT_EQ(store.recordFetch("lounge", success(t1, 300s, "text 2", {"c", "a", "b"})),
                  (std::vector<TimePoint>{t1, t0, t0}));
        // A failure keeps the last good text and counts.
        const TimePoint t2 = t1 + 400s;
        ASSERT_EQ(store.claimFetch("lounge", t2, 120s).decision, FetchDecision::fetch);
        FetchResult failure;
        failure.started = t2;
        failure.nextFetch = t2 + 300s;
        failure.status = 1;
        failure.error = "Can't read the URL: \xE9";
        EXPECT_TRUE(store.recordFetch("lounge", failure).empty());
    }
    StateStore store(path);
    const std::optional<StoredChannel> lounge = store.load("lounge");
    ASSERT_TRUE(lounge.has_value());
    EXPECT_EQ(lounge->text, "text 2");
    EXPECT_EQ(lounge->etag, "\"6\"");
    EXPECT_EQ(lounge->lastModified, t0 + 400s);
    EXPECT_EQ(lounge->lastSuccess, t0 + 400s);
    EXPECT_EQ(lounge->lastFetch, t0 + 800s);
    EXPECT_EQ(lounge->nextFetch, t0 + 1100s);
    EXPECT_EQ(lounge->lastStatus, 1);
    EXPECT_EQ(lounge->lastError, "Can't read the URL: \xE9");
    EXPECT_EQ(lounge->fetches, 3u);
    EXPECT_EQ(lounge->failures, 1u);
    EXPECT_EQ(store.itemDates("lounge"),
              (std::map<std::string, TimePoint>{{"a", t0}, {"b", t0}, {"c", t0 + 400s}}));
    EXPECT_EQ(store.channels(), std::vector<std::string>{"lounge"});
    EXPECT_FALSE(store.load("boards").has_value());

    // Inside the interval no fetch is needed, and the stored feed comes with the answer.
    const FetchClaim inside = store.claimFetch("lounge", t0 + 1099s, 120s);
    EXPECT_EQ(inside.decision, FetchDecision::notNeeded);
    EXPECT_EQ(inside.stored.text, "text 2");
    EXPECT_EQ(store.claimFetch("lounge", t0 + 1100s, 120s).decision, FetchDecision::fetch);
}

TEST(StateStoreTest, LastModifiedMovesOnlyWhenTheTextChanges) {
    StateStore store("");  // in memory
    EXPECT_TRUE(store.inMemory());
    const TimePoint t0 = at(1000);
    store.recordFetch("c", success(t0, 60s, "same", {}));
    store.recordFetch("c", success(t0 + 60s, 60s, "same", {}));
    EXPECT_EQ(store.load("c")->lastModified, t0);
    store.recordFetch("c", success(t0 + 120s, 60s, "changed", {}));
    EXPECT_EQ(store.load("c")->lastModified, t0 + 120s);
}

TEST(StateStoreTest, GuidsUnseenForTheRetentionArePrunedOthersKept) {
    StateStore store("");
    const TimePoint t0 = at(1'000'000);
    store.recordFetch("c", success(t0, 60s, "1", {"old", "kept"}));
    store.recordFetch("c", success(t0 + 24h, 60s, "2", {"kept"}));
    store.recordFetch("other", success(t0, 60s, "x", {"old"}));
    // Just inside the retention, "old" is still known; past it, it is gone, in this channel only.
    store.recordFetch("c", success(t0 + StateStore::kItemRetention, 60s, "3", {"kept"}));
    EXPECT_EQ(store.itemDates("c").count("old"), 1u);
    const TimePoint late = t0 + StateStore::kItemRetention + 1s;
    store.recordFetch("c", success(late, 60s, "4", {"kept"}));
    EXPECT_EQ(store.itemDates("c"), (std::map<std::string, TimePoint>{{"kept", t0}}));
    EXPECT_EQ(store.itemDates("other").count("old"), 1u);
    // A guid that comes back after being pruned is new again.
    EXPECT_EQ(store.recordFetch("c", success(late + 60s, 60s, "5", {"old"})),
              std::vector<TimePoint>{late + 60s});
}

TEST(StateStoreTest, TwoConnectionsNeverBothFetchOneChannel) {
    TempDir dir;
    const std::string path = dir.file("state.sqlite3");
    StateStore first(path);
    StateStore second(path);
    const TimePoint t0 = at(5000);

    ASSERT_EQ(first.claimFetch("lounge", t0, 120s).decision, FetchDecision::fetch);
    const FetchClaim waiting = second.claimFetch("lounge", t0 + 1s, 120s);
    EXPECT_EQ(waiting.decision, FetchDecision::fetchingElsewhere);
    EXPECT_EQ(waiting.leaseExpires, t0 + 120s);
    // Another channel is free.
    EXPECT_EQ(second.claimFetch("boards", t0, 120s).decision, FetchDecision::fetch);
    // The holder may ask again (a retry of its own).
    EXPECT_EQ(first.claimFetch("lounge", t0 + 2s, 120s).decision, FetchDecision::fetch);

    first.recordFetch("lounge", success(t0, 300s, "text", {"a"}));
    const FetchClaim after = second.claimFetch("lounge", t0 + 3s, 120s);
    EXPECT_EQ(after.decision, FetchDecision::notNeeded);
    EXPECT_EQ(after.stored.text, "text");
    EXPECT_EQ(second.itemDates("lounge").at("a"), t0);

    // A holder that gives up, and one that died: the lease ends with releaseClaim or its expiry.
    ASSERT_EQ(first.claimFetch("lounge", t0 + 300s, 60s).decision, FetchDecision::fetch);
    first.releaseClaim("lounge");
    ASSERT_EQ(second.claimFetch("lounge", t0 + 301s, 60s).decision, FetchDecision::fetch);
    EXPECT_EQ(first.claimFetch("lounge", t0 + 360s, 60s).decision,
              FetchDecision::fetchingElsewhere);
    EXPECT_EQ(first.claimFetch("lounge", t0 + 361s, 60s).decision, FetchDecision::fetch);
}

TEST(StateStoreTest, ThreadsShareOneStore) {
    TempDir dir;
    StateStore store(dir.file("state.sqlite3"));
    const TimePoint t0 = at(10'000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string channel = "channel" + std::to_string(t);
            for (int i = 0; i < 50; ++i) {
                const TimePoint now = t0 + std::chrono::seconds(60 * i);
                if (store.claimFetch(channel, now, 30s).decision == FetchDecision::fetch) {
                    store.recordFetch(channel,
                                      success(now, 60s, "text", {"g" + std::to_string(i)}));
                }
                store.load(channel);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < 4; ++t) {
        const std::string channel = "channel" + std::to_string(t);
        EXPECT_EQ(store.load(channel)->fetches, 50u);
        EXPECT_EQ(store.itemDates(channel).size(), 50u);
    }
}

// Runs `body` in a child process; returns its exit status.
template <typename Body>
pid_t forkChild(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    return pid;
}

int exitCodeOf(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StateStoreTest, OfFourProcessesClaimingAtOnceOnlyOneFetches) {
    TempDir dir;
    const std::string path = dir.file("state.sqlite3");
    { StateStore create(path); }
    const TimePoint now = std::chrono::system_clock::now();
    for (int round = 0; round < 3; ++round) {
        const std::string channel = "channel" + std::to_string(round);
        int start[2];
        ASSERT_EQ(pipe(start), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < 4; ++i) {
            children.push_back(forkChild([&] {
                close(start[1]);
                StateStore store(path);
                char go;
                if (read(start[0], &go, 1) != 0) {  // released all at once by the close below
                    return 98;
                }
                const FetchClaim claim = store.claimFetch(channel, now, 60s);
                if (claim.decision == FetchDecision::fetch) {
                    store.recordFetch(channel, success(now, 300s, "text", {"g"}));
                    return 0;
                }
                return claim.decision == FetchDecision::fetchingElsewhere ? 1 : 2;
            }));
        }
        close(start[0]);
        close(start[1]);
        std::vector<int> codes;
        for (const pid_t child : children) {
            codes.push_back(exitCodeOf(child));
        }
        SCOPED_TRACE(round);
        EXPECT_EQ(std::count(codes.begin(), codes.end(), 0), 1);
        EXPECT_EQ(std::count_if(codes.begin(), codes.end(), [](int c) { return c == 1 || c == 2; }),
                  3);
        StateStore check(path);
        EXPECT_EQ(check.load(channel)->fetches, 1u);
    }
}

// A child writes generation after generation, each one transaction whose text, tag and items all
// name the generation; killed at some moment, it must leave one whole generation behind.
TEST(StateStoreTest, AProcessKilledWhileWritingLeavesTheLastCommittedState) {
    TempDir dir;
    const std::string path = dir.file("state.sqlite3");
    const auto generation = [](int g) {
        std::vector<std::string> guids;
        for (int i = 0; i < 200; ++i) {
            guids.push_back("g" + std::to_string(g) + "-" + std::to_string(i));
        }
        FetchResult result =
            success(at(g), 60s, std::string(1 << 20, static_cast<char>('a' + g % 26)), guids);
        result.etag = std::to_string(g);
        return result;
    };
    const std::chrono::microseconds delays[] = {0us, 3000us, 15000us, 40000us};
    for (const auto delay : delays) {
        SCOPED_TRACE(delay.count());
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = forkChild([&] {
            close(ready[0]);
            StateStore store(path);
            for (int g = 1;; ++g) {
                store.recordFetch("lounge", generation(g));
                if (g == 1 && write(ready[1], "x", 1) != 1) {
                    return 97;
                }
            }
            return 0;
        });
        close(ready[1]);
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);  // one generation is committed
        close(ready[0]);
        std::this_thread::sleep_for(delay);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        Reports reports;
        StateStore store(path, reports.sink());
        EXPECT_TRUE(reports.lines.empty());
        const auto stored = store.load("lounge");
        ASSERT_TRUE(stored.has_value());
        const int g = std::stoi(stored->etag);
        ASSERT_GE(g, 1);
        EXPECT_EQ(stored->text, generation(g).text);
        EXPECT_EQ(stored->lastFetch, at(g));
        std::size_t ofThisGeneration = 0;
        for (const auto& [guid, date] : store.itemDates("lounge")) {
            if (guid.rfind("g" + std::to_string(g) + "-", 0) == 0) {
                ++ofThisGeneration;
                EXPECT_EQ(date, at(g));
            }
        }
        EXPECT_EQ(ofThisGeneration, 200u);
    }
}

// A valid state file with one channel, written and closed.
void writeState(const std::string& path) {
    StateStore store(path);
    store.recordFetch("lounge", success(at(1), 60s, "text", {"a"}));
}

void sqlite(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// Overwrites `length` bytes at `offset`.
void damage(const std::string& path, std::size_t offset, std::size_t length) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    const std::string junk(length, '\xA5');
    file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
}

struct BadFileCase {
    const char* what;
    std::function<void(const std::string&)> make;
    const char* reason;   // in the set-aside name
    const char* message;  // in the report
};

TEST(StateStoreTest, AFileThatIsNotOurStateIsSetAsideNeverOverwritten) {
    const BadFileCase cases[] = {
        {"not a database",
         [](const std::string& p) {
             std::ofstream(p) << "just some text, not a database\n";
             std::ofstream(p + "-wal") << "a journal that must not be replayed into a new file";
         },
         "corrupt", "it is damaged or not a database"},
        {"a damaged header",
         [](const std::string& p) {
             writeState(p);
             damage(p, 0, 16);
         },
         "corrupt", "it is damaged or not a database"},
        {"a damaged table page",
         [](const std::string& p) {
             writeState(p);
             sqlite(p, "PRAGMA wal_checkpoint(TRUNCATE)");
             damage(p, 4096 + 0, 8);  // page 2: the first table's root
         },
         "corrupt", "it is damaged or not a database"},
        {"another program's database",
         [](const std::string& p) { sqlite(p, "CREATE TABLE notes (body TEXT)"); }, "other-schema",
         "another program's database"},
        {"another version's state",
         [](const std::string& p) {
             writeState(p);
             sqlite(p, "PRAGMA user_version = 99");
         },
         "other-schema", "schema 99"},
    };
    for (const BadFileCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.file("state.sqlite3");
        c.make(path);
        // What the bad file held, byte for byte, with its journal files.
        std::map<std::string, std::string> before;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            before[entry.path().filename().string()] = testing_support::readFile(entry.path());
        }

        Reports reports;
        {
            StateStore store(path, reports.sink());
            EXPECT_FALSE(store.load("lounge").has_value());
            store.recordFetch("boards", success(at(2), 60s, "new", {}));
        }
        ASSERT_EQ(reports.lines.size(), 1u);
        EXPECT_NE(reports.lines[0].find("The state file " + path + " was set aside as " + path +
                                        "." + c.reason + "-"),
                  std::string::npos)
            << reports.lines[0];
        EXPECT_NE(reports.lines[0].find(c.message), std::string::npos) << reports.lines[0];
        // Each file is kept under the set-aside name, its journal suffix ("-wal") after it.
        const std::string prefix = std::string("state.sqlite3.") + c.reason + "-";
        for (const auto& [name, bytes] : before) {
            const std::string suffix = name.substr(std::string("state.sqlite3").size());
            bool kept = false;
            for (const auto& entry : fs::directory_iterator(dir.path())) {
                const std::string moved = entry.path().filename().string();
                kept = kept ||
                       (moved.rfind(prefix, 0) == 0 && moved.size() >= suffix.size() &&
                        moved.compare(moved.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                        testing_support::readFile(entry.path()) == bytes);
            }
            EXPECT_TRUE(kept) << name << " was not kept as it was";
        }
        StateStore reopened(path, reports.sink());
        EXPECT_EQ(reopened.load("boards")->text, "new");
        EXPECT_EQ(reports.lines.size(), 1u);  // the new file is ours
    }
}

TEST(StateStoreTest, AFirstVersionStateIsBroughtUpToDateAndKeepsTheFailureStreak) {
    TempDir dir;
    const std::string path = dir.file("state.sqlite3");
    // The first version's file: no failure streak yet.
    sqlite(path,
           "CREATE TABLE channel (name BLOB PRIMARY KEY NOT NULL, text BLOB, etag TEXT NOT NULL "
           "DEFAULT '', last_modified INTEGER, last_fetch INTEGER, next_fetch INTEGER, "
           "last_success INTEGER, last_status INTEGER NOT NULL DEFAULT 0, last_error BLOB NOT "
           "NULL DEFAULT '', fetches INTEGER NOT NULL DEFAULT 0, failures INTEGER NOT NULL "
           "DEFAULT 0);"
           "CREATE TABLE item (channel BLOB NOT NULL, guid BLOB NOT NULL, first_seen INTEGER NOT "
           "NULL, last_seen INTEGER NOT NULL, PRIMARY KEY (channel, guid)) WITHOUT ROWID;"
           "CREATE TABLE lease (channel BLOB PRIMARY KEY NOT NULL, holder TEXT NOT NULL, expires "
           "INTEGER NOT NULL);"
           "INSERT INTO channel (name, text, etag, last_fetch, next_fetch, fetches) "
           "VALUES (CAST('lounge' AS BLOB), CAST('old text' AS BLOB), '\"t\"', 1000, 61000, 1);"
           "INSERT INTO item VALUES (CAST('lounge' AS BLOB), CAST('g' AS BLOB), 1000, 1000);"
           "PRAGMA application_id = 1148605554; PRAGMA user_version = 1;");
    Reports reports;
    {
        StateStore store(path, reports.sink());
        const std::optional<StoredChannel> lounge = store.load("lounge");
        ASSERT_TRUE(lounge.has_value());
        EXPECT_EQ(lounge->text, "old text");
        EXPECT_EQ(lounge->failureStreak, 0u);
        EXPECT_EQ(store.itemDates("lounge").at("g"), at(1));
        FetchResult failure;
        failure.started = at(61);
        failure.nextFetch = at(181);
        failure.status = 1;
        failure.error = "down";
        failure.failureStreak = 3;
        store.recordFetch("lounge", failure);
    }
    EXPECT_TRUE(reports.lines.empty());
    StateStore reopened(path, reports.sink());
    EXPECT_EQ(reopened.load("lounge")->failureStreak, 3u);
    EXPECT_EQ(reopened.load("lounge")->text, "old text");
    // A success ends the streak; the text's Last-Modified comes back with the record.
    std::optional<TimePoint> modified;
    reopened.recordFetch("lounge", success(at(200), 60s, "new text", {"g"}), &modified);
    EXPECT_EQ(reopened.load("lounge")->failureStreak, 0u);
    EXPECT_EQ(modified, at(200));
    EXPECT_TRUE(reports.lines.empty());
}

TEST(StateStoreTest, AStateThatCannotBeCreatedIsAnErrorNamingThePath) {
    TempDir dir;
    const std::string blocker = dir.write("file", "x");
    try {
        StateStore store(blocker + "/state.sqlite3");
        FAIL() << "opened";
    } catch (const StateError& e) {
        EXPECT_NE(std::string(e.what()).find("Can't create the state directory: " + blocker),
                  std::string::npos)
            << e.what();
    }
}

TEST(StateStoreTest, TheDefaultPathFollowsXdgStateHomeThenHome) {
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome != nullptr ? oldHome : "";
    {
        testing_support::ScopedEnv state("XDG_STATE_HOME", "/var/tmp/st");
        EXPECT_EQ(defaultStatePath(), "/var/tmp/st/dovetrail/state.sqlite3");
    }
    {
        testing_support::ScopedEnv relative("XDG_STATE_HOME", "relative/dir");  // ignored
        setenv("HOME", "/home/reader", 1);
        EXPECT_EQ(defaultStatePath(), "/home/reader/.local/state/dovetrail/state.sqlite3");
        unsetenv("HOME");
        EXPECT_THROW(defaultStatePath(), StateError);
    }
    if (oldHome != nullptr) {
        setenv("HOME", savedHome.c_str(), 1);
    }
}

// The state is this user's alone: new directories 0700, the file and SQLite's files beside it
// 0600 whatever the umask, an old world-readable file made private.
TEST(StateStorePrivacyTest, DirectoriesAndFilesAreCreatedForThisUserOnly) {
    TempDir dir;
    const mode_t umaskWas = ::umask(022);
    const std::string path = dir.file("new/dir/state.sqlite3");
    {
        StateStore store(path);
        store.recordFetch("lounge", success(at(1'800'000'000), 60s, "<RSS/>", {}));
        const struct {
            std::string file;
            mode_t mode;
        } cases[] = {{dir.file("new"), 0700},
                     {dir.file("new/dir"), 0700},
                     {path, 0600},
                     {path + "-wal", 0600},
                     {path + "-shm", 0600}};
        for (const auto& c : cases) {
            struct stat info {};
            ASSERT_EQ(::stat(c.file.c_str(), &info), 0) << c.file;
            EXPECT_EQ(info.st_mode & 0777, c.mode) << c.file;
        }
    }
    const std::string old = dir.write("old.sqlite3", "");
    fs::permissions(old, fs::perms(0644));
    StateStore reopened(old);
    EXPECT_EQ(fs::status(old).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    ::umask(umaskWas);
}

// A link, or a file another user planted, is refused with a message that says which and why;
// a dangling link does not make the gateway create its target.
TEST(StateStorePrivacyTest, LinksAndOtherUsersFilesAreRefused) {
    TempDir dir;
    StateStore(dir.file("real.sqlite3"));
    fs::create_symlink(dir.file("real.sqlite3"), dir.file("link.sqlite3"));
    fs::create_symlink(dir.file("target.sqlite3"), dir.file("dangling.sqlite3"));
    StateStore(dir.file("wal.sqlite3"));
    fs::create_symlink(dir.file("elsewhere"), dir.file("wal.sqlite3-wal"));
    dir.write("theirs.sqlite3", "");
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(dir.file("theirs.sqlite3").c_str(), 65534, 65534), 0);
    }
    const struct {
        std::string file;
        std::string message;
    } cases[] = {
        {"link.sqlite3",
         "Refusing the state file " + dir.file("link.sqlite3") + ": it is a symbolic link"},
        {"dangling.sqlite3",
         "Refusing the state file " + dir.file("dangling.sqlite3") + ": it is a symbolic link"},
        {"wal.sqlite3",
         "Refusing the state file " + dir.file("wal.sqlite3-wal") + ": it is a symbolic link"},
        {"theirs.sqlite3", root ? "Refusing the state file " + dir.file("theirs.sqlite3") +
                                      ": it belongs to user 65534, not to this one (0)"
                                : std::string("(not root: no other user's file to test)")},
    };
    for (const auto& c : cases) {
        if (c.message.front() == '(') {
            continue;
        }
        try {
            StateStore store(dir.file(c.file));
            ADD_FAILURE() << c.file << " was opened";
        } catch (const StateError& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, c.message.size()), c.message);
        }
    }
    EXPECT_FALSE(fs::exists(dir.file("target.sqlite3")));
    EXPECT_FALSE(fs::exists(dir.file("elsewhere")));
}

// Setting the channel list forgets the others' rows: text, schedule, items and lease.
TEST(StateStorePrivacyTest, ChannelsNotKeptAreForgotten) {
    TempDir dir;
    StateStore store(dir.file("state.sqlite3"));
    for (const char* name : {"lounge", "boards", "gone"}) {
        store.claimFetch(name, at(1'800'000'000), 60s);
        store.recordFetch(name, success(at(1'800'000'000), 60s, "<RSS/>", {"a"}));
    }
    store.claimFetch("leased", at(1'800'000'000), 60s);
    store.keepOnly({"lounge", "boards"});
    EXPECT_EQ(store.channels(), (std::vector<std::string>{"boards", "lounge"}));
    EXPECT_TRUE(store.itemDates("gone").empty());
    EXPECT_EQ(store.itemDates("lounge").size(), 1u);
    StateStore other(dir.file("state.sqlite3"));
    EXPECT_EQ(other.claimFetch("leased", at(1'800'000'001), 60s).decision, FetchDecision::fetch);
}

}  // namespace
}  // namespace host::state
