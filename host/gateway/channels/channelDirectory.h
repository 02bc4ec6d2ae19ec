// The channels the gateway serves: exactly the channel sections of the INI file (read with
// channelList.h), read again whenever the file changes.
//
// A request names a channel only when its name is byte for byte one of these; names with a
// control byte are never served (no request could carry them cleanly into the plug-in). Other
// spellings, however close, are not channels: they cost no fetch and no memory.
//
// The file is looked at (stat) only when check() is called (the gateway does so once a second,
// on a timer of its own, never on a reader's request); it is read again when its modification
// time, size or identity changed. A failed re-read keeps the channels read before and reports the
// error in the snapshot.
//
// Thread-safety: every member function may be called from any thread; snapshots are immutable.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "channelList.h"

namespace host {

struct ChannelSet {
    std::vector<ChannelEntry> channels;  // file order
    std::string readError;               // why the last re-read failed; empty when it worked

    // The channel named exactly `name`, or null.
    const ChannelEntry* find(std::string_view name) const;
    std::vector<std::string> names() const;
};

// The channel sections of `entries` that can be served (see above).
ChannelSet servableChannels(std::vector<ChannelEntry> entries);

class ChannelDirectory {
  public:
    using Reader = std::function<std::vector<ChannelEntry>()>;
    using ChangeObserver = std::function<void(const ChannelSet&)>;

    // Reads `iniPath` now; throws HostError (kExitNoConfig) when it cannot. `onChange` is called
    // after each re-read that changed the list (on the thread that noticed, without locks held).
    explicit ChannelDirectory(std::string iniPath, ChangeObserver onChange = {});
    ChannelDirectory(const ChannelDirectory&) = delete;
    ChannelDirectory& operator=(const ChannelDirectory&) = delete;

    // The channels as last read; never looks at the file.
    std::shared_ptr<const ChannelSet> current() const;
    // Looks at the file and reads it again when it changed; returns the channels then.
    std::shared_ptr<const ChannelSet> check();
    // Reads the file again now, changed or not (for SIGHUP); as check() otherwise. A failed
    // read keeps the channels read before and says why in readError.
    std::shared_ptr<const ChannelSet> refresh();

  private:
    struct FileStamp {
        long long modified = 0;
        long long changed = 0;
        long long size = -1;
        unsigned long long inode = 0;
        unsigned long long device = 0;
        bool operator==(const FileStamp&) const = default;
    };
    FileStamp stamp(std::string& error) const;

    std::string path_;
    ChangeObserver onChange_;
    std::mutex notifyMutex_;
    mutable std::mutex mutex_;
    std::shared_ptr<const ChannelSet> current_;
    FileStamp stamp_;
};

}  // namespace host
