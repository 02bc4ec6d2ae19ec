// Message groups: named switches for kinds of detailed log output, found by name ignoring case in
// one process-wide registry.
//
// Groups register themselves on construction and unregister on destruction; the registry does not
// own them and is guarded by a CReadWriteLock. A group's enabled flag is read and written without a
// lock (a single byte); a change takes effect at the log's next character.
#pragma once

#include <atomic>
#include <iosfwd>
#include <string>

class CMessageLog;

class CMessageGroup {
  public:
    // Takes the next process-wide number (starting at 1), starts enabled and registers itself.
    explicit CMessageGroup(std::string name);
    ~CMessageGroup();
    CMessageGroup(const CMessageGroup&) = delete;
    CMessageGroup& operator=(const CMessageGroup&) = delete;

    int id() const { return number_; }
    const std::string& name() const { return name_; }
    bool isEnabled() const { return enabled_.load(std::memory_order_relaxed); }
    void setEnabled(bool enabled) { enabled_.store(enabled, std::memory_order_relaxed); }

  private:
    int number_;
    std::string name_;
    std::atomic<bool> enabled_{true};
};

// The group whose name equals `name` ignoring case (the later of two such groups), or null.
CMessageGroup* findMessageGroup(const std::string& name);
void setAllMessageGroupsEnabled(bool enabled);
void disableAllMessageGroups(bool disable);

// Points `log` at `logFile` with the time column on, then loads the group switches from the
// debug file.
void configureMessageLog(CMessageLog& log, std::ostream& logFile, const std::string& debugFilePath);

// Switches every group off, then on for each key of section "MessageLog" of the debug file that
// names a group and whose value begins with a non-zero number.
void loadMessageGroupSettings(const std::string& debugFilePath);
