#include "msgGroup.h"

#include <map>
#include <vector>

#include "log.h"
#include "platform/profile.h"
#include "textCase.h"
#include "threadSafety.h"

namespace {

// Numbers count from 1 over the life of the process; constant-initialised, so groups created by
// static initialisers in any order see it ready.
std::atomic<int> nextGroupNumber{1};

// The registry does not own the groups.
struct Registry {
    CReadWriteLock lock;
    std::map<int, CMessageGroup*> byNumber;
    std::map<std::string, CMessageGroup*, text::LessNoCase> byName;
};

// Created by the first group's construction, so it is destroyed after the last static group.
Registry& registry() {
    static Registry instance;
    return instance;
}

void registerGroup(CMessageGroup* group) {
    Registry& r = registry();
    CWriteLockGuard guard(&r.lock);
    r.byNumber[group->id()] = group;
    if (!group->name().empty()) {
        // Replace the whole entry so that the key carries the later group's spelling too.
        r.byName.erase(group->name());
        r.byName.emplace(group->name(), group);
    }
}

void unregisterGroup(const CMessageGroup* group) {
    Registry& r = registry();
    CWriteLockGuard guard(&r.lock);
    r.byNumber.erase(group->id());
    if (!group->name().empty())
        r.byName.erase(group->name());
}

}  // namespace

CMessageGroup::CMessageGroup(std::string name)
    : number_(nextGroupNumber.fetch_add(1)), name_(std::move(name)) {
    registerGroup(this);
}

CMessageGroup::~CMessageGroup() {
    unregisterGroup(this);
}

CMessageGroup* findMessageGroup(const std::string& name) {
    Registry& r = registry();
    CReadLockGuard guard(&r.lock);
    const auto found = r.byName.find(name);
    return found != r.byName.end() ? found->second : nullptr;
}

void setAllMessageGroupsEnabled(bool enabled) {
    Registry& r = registry();
    CReadLockGuard guard(&r.lock);  // the maps stay as they are; only the flags change
    for (const auto& [number, group] : r.byNumber)
        group->setEnabled(enabled);
}

void disableAllMessageGroups(bool disable) {
    setAllMessageGroupsEnabled(!disable);
}

void configureMessageLog(CMessageLog& log, std::ostream& logFile,
                         const std::string& debugFilePath) {
    log.setOutput(logFile);
    log.showTime(true);
    loadMessageGroupSettings(debugFilePath);
}

void loadMessageGroupSettings(const std::string& debugFilePath) {
    static constexpr const char* kSection = "MessageLog";
    disableAllMessageGroups(true);

    // The key-list form: names each ended by a zero byte, the list by an empty name. A missing or
    // unreadable file gives an empty list, leaving every group off.
    std::vector<char> keys(16384, '\0');
    platform::getPrivateProfileString(kSection, nullptr, "", keys.data(), keys.size() - 1,
                                      debugFilePath);
    // The buffer's last byte is never offered, so every name found here is terminated.
    for (std::size_t at = 0; at < keys.size() && keys[at] != '\0';) {
        const std::string key(keys.data() + at);
        at += key.size() + 1;
        CMessageGroup* group = findMessageGroup(key);
        if (group == nullptr)
            continue;
        group->setEnabled(platform::getPrivateProfileInt(kSection, key.c_str(), 0, debugFilePath) !=
                          0);
    }
}
