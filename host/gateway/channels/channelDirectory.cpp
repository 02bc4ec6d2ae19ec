#include "channelDirectory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "hostError.h"
#include "httpText.h"

namespace host {

const ChannelEntry* ChannelSet::find(std::string_view name) const {
    for (const ChannelEntry& channel : channels) {
        if (channel.name == name) {
            return &channel;
        }
    }
    return nullptr;
}

std::vector<std::string> ChannelSet::names() const {
    std::vector<std::string> names;
    names.reserve(channels.size());
    for (const ChannelEntry& channel : channels) {
        names.push_back(channel.name);
    }
    return names;
}

ChannelSet servableChannels(std::vector<ChannelEntry> entries) {
    ChannelSet set;
    for (ChannelEntry& entry : entries) {
        if (!entry.name.empty() && !hasControlByte(entry.name)) {
            set.channels.push_back(std::move(entry));
        }
    }
    return set;
}

ChannelDirectory::ChannelDirectory(std::string iniPath, ChangeObserver onChange)
    : path_(std::move(iniPath)), onChange_(std::move(onChange)) {
    std::string error;
    stamp_ = stamp(error);
    current_ = std::make_shared<const ChannelSet>(servableChannels(readChannelList(path_)));
}

ChannelDirectory::FileStamp ChannelDirectory::stamp(std::string& error) const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        error = "Can't read the configuration file: " + path_ + ": " + std::strerror(errno);
        return FileStamp{};
    }
    FileStamp s;
    s.modified = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    s.changed = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    s.size = static_cast<long long>(st.st_size);
    s.inode = static_cast<unsigned long long>(st.st_ino);
    s.device = static_cast<unsigned long long>(st.st_dev);
    return s;
}

std::shared_ptr<const ChannelSet> ChannelDirectory::refresh() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stamp_ = FileStamp{};
        // An error seen before is reported again: the caller asked for this read.
        if (!current_->readError.empty()) {
            ChannelSet kept;
            kept.channels = current_->channels;
            current_ = std::make_shared<const ChannelSet>(std::move(kept));
        }
    }
    return check();
}

std::shared_ptr<const ChannelSet> ChannelDirectory::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

std::shared_ptr<const ChannelSet> ChannelDirectory::check() {
    std::shared_ptr<const ChannelSet> result;
    bool listChanged = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string error;
        const FileStamp seen = stamp(error);
        if (error.empty() && seen == stamp_) {
            return current_;
        }
        ChannelSet next;
        if (error.empty()) {
            try {
                next = servableChannels(readChannelList(path_));
                stamp_ = seen;
            } catch (const std::exception& e) {
                error = e.what();
            }
        }
        if (!error.empty()) {
            // Keep serving what was read before; say why it is not the file's present state.
            if (current_->readError == error) {
                return current_;
            }
            next.channels = current_->channels;
            next.readError = error;
        }
        listChanged = next.names() != current_->names();
        current_ = std::make_shared<const ChannelSet>(std::move(next));
        result = current_;
    }
    if (listChanged && onChange_) {
        // Two threads may notice two changes; the observer must see the latest list last.
        std::lock_guard<std::mutex> notify(notifyMutex_);
        std::shared_ptr<const ChannelSet> latest;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            latest = current_;
        }
        onChange_(*latest);
    }
    return result;
}

}  // namespace host
