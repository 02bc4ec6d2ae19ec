// The process-wide message log: an output stream that prefixes every line with a header (optional
// group, line-counter, date, time and source columns), drops the lines of switched-off message
// groups and passes everything else, character by character, to a target stream buffer that is
// flushed at every line end.
//
// Threads: the group/file/line context is kept per writing thread. Writers hold the message lock
// for a whole message (LOG_TO_GROUP does), and an internal lock makes each character and each
// change of target or indentation exclusive, so lines of concurrent writers never mix.
// theMessageLog() creates the log with a message lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <ostream>
#include <streambuf>

#include "msgGroup.h"
#include "threadSafety.h"

class CMessageLog;

// A stream buffer without a buffer: every character goes straight to the owning log.
class CMessageLogStreamBuf : public std::streambuf {
  public:
    explicit CMessageLogStreamBuf(CMessageLog* owner) : owner_(owner) {}
    ~CMessageLogStreamBuf() override = default;

  protected:
    int_type overflow(int_type c) override;
    int_type underflow() override { return traits_type::eof(); }

  private:
    CMessageLog* owner_;
};

class CMessageLog : public std::ostream {
  public:
    // Writes to `output`'s stream buffer until setOutput points elsewhere. Does not own it.
    explicit CMessageLog(std::ostream& output);
    ~CMessageLog() override;
    CMessageLog(const CMessageLog&) = delete;
    CMessageLog& operator=(const CMessageLog&) = delete;

    virtual void setEnabled(bool enabled);
    virtual void setOutput(std::ostream& output);
    // Copies everything readable from `input` into the log without line headers (the lines still
    // count), holding the message lock meanwhile. An empty input leaves the log as it was.
    virtual std::ostream& copyFrom(std::istream& input);
    virtual void showGroup(bool show);
    virtual void showNumber(bool show);
    virtual void showTime(bool show);
    virtual void showDate(bool show);
    virtual void showSource(bool show);
    virtual void indent();
    virtual void unindent();
    // Sets the lock that writers hold for whole messages (not owned; null for none) and gives the
    // log an internal lock exactly when there is one. Call before any thread writes.
    virtual void setMessageLock(CReadWriteLock* lock);
    virtual void lockMessage();
    virtual void unlockMessage();
    virtual int putChar(int c);
    virtual void writeHeader(std::ostream& headerOut);

    // Sets the calling thread's context for the text it writes next. `file` must outlive it.
    CMessageLog& setContext(const CMessageGroup* group, const char* file, std::uint32_t line);
    CReadWriteLock* messageLock() const { return messageLock_; }

    // Replaces the clock that the date and time columns read (tests); null restores time().
    void setClock(std::function<std::time_t()> clock);

  private:
    const std::uint64_t id_;  // tells this log's writer contexts from those of other logs
    std::atomic<bool> enabled_{true};
    std::atomic<bool> headerSuppressed_{false};  // only while copyFrom runs
    std::atomic<bool> showGroup_{false};
    std::atomic<bool> showNumber_{false};
    std::atomic<bool> showTime_{false};
    std::atomic<bool> showDate_{false};
    std::atomic<bool> showSource_{false};
    // The fields below change only under the internal lock (when the log has one).
    std::uint32_t lineCounter_ = 0;  // lines written whose first character was not a line feed
    std::int32_t indentLevel_ = 0;
    std::int32_t indentWidth_ = 2;
    CMessageLogStreamBuf streamBuf_;
    std::streambuf* target_ = nullptr;  // not owned
    bool atLineStart_ = true;
    CReadWriteLock* messageLock_ = nullptr;  // not owned
    std::unique_ptr<CReadWriteLock> internalLock_;
    std::function<std::time_t()> clock_;
};

// The one log of the process, created on first use writing to std::clog with a message lock.
// Sets the calling thread's context and returns the log.
CMessageLog& theMessageLog(const CMessageGroup* group, const char* file, std::uint32_t line);
CMessageLog& theMessageLog();

// Writes one message line to the group when the group is set and enabled. Builds no text
// otherwise: the cost of a switched-off line is the test of the flag.
#define LOG_TO_GROUP(group, text)                                              \
    do {                                                                       \
        const CMessageGroup* logGroup_ = (group);                              \
        if (logGroup_ != nullptr && logGroup_->isEnabled()) {                  \
            CWriteLockGuard logGuard_(theMessageLog().messageLock());          \
            theMessageLog(logGroup_, __FILE__, __LINE__) << text << std::endl; \
        }                                                                      \
    } while (false)
