#include "log.h"

#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "platform/path.h"

namespace {

// What a thread writes next: set by setContext, read by putChar on the same thread. Kept per
// thread so that concurrent writers never see each other's group, file or line.
struct WriterContext {
    std::uint64_t logId = 0;
    const CMessageGroup* group = nullptr;
    const char* file = nullptr;
    std::uint32_t line = 0;
};

thread_local WriterContext writerContext;

std::atomic<std::uint64_t> nextLogId{1};

// localtime keeps its result in shared storage; the columns are cut under this mutex.
std::mutex localTimeMutex;

std::tm localTime(std::time_t when) {
    std::lock_guard<std::mutex> lock(localTimeMutex);
    const std::tm* local = std::localtime(&when);
    return local != nullptr ? *local : std::tm{};
}

// The number in decimal, zero-padded to at least `width` digits ("%0Nlu").
void appendNumber(std::string& out, unsigned long value, std::size_t width) {
    const std::string digits = std::to_string(value);
    if (digits.size() < width)
        out.append(width - digits.size(), '0');
    out += digits;
}

void appendTwoDigits(std::string& out, int value) {
    appendNumber(out, static_cast<unsigned long>(value < 0 ? -value : value) % 100, 2);
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// "%8s%-4s:%06lu" of the file's name and extension and the line, in lower case; longer names
// widen the column instead of being cut.
std::string sourceColumn(const char* file, std::uint32_t line) {
    if (file == nullptr)
        return "         ???:   ???";
    const platform::PathParts parts = platform::splitPath(file);
    std::string column;
    if (parts.name.size() < 8)
        column.append(8 - parts.name.size(), ' ');
    column += parts.name;
    column += parts.extension;
    if (parts.extension.size() < 4)
        column.append(4 - parts.extension.size(), ' ');
    column += ':';
    appendNumber(column, line, 6);
    for (char& c : column)
        c = lowerAscii(c);
    return column;
}

}  // namespace

CMessageLogStreamBuf::int_type CMessageLogStreamBuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    return owner_->putChar(c);
}

CMessageLog::CMessageLog(std::ostream& output)
    : std::ostream(nullptr), id_(nextLogId.fetch_add(1)), streamBuf_(this) {
    rdbuf(&streamBuf_);
    setOutput(output);
}

CMessageLog::~CMessageLog() {
    // The stream must not reach the buffer while the members go.
    rdbuf(nullptr);
}

void CMessageLog::setEnabled(bool enabled) {
    enabled_ = enabled;
}

void CMessageLog::setOutput(std::ostream& output) {
    CWriteLockGuard guard(internalLock_.get());
    target_ = output.rdbuf();
}

std::ostream& CMessageLog::copyFrom(std::istream& input) {
    // Exclusive, so that no concurrent message loses its header to the suppression.
    CWriteLockGuard guard(messageLock_);
    std::streambuf* source = input.rdbuf();
    // Inserting an empty buffer would fail the log itself; there is nothing to copy then.
    if (source == nullptr || traits_type::eq_int_type(source->sgetc(), traits_type::eof())) {
        return *this;
    }
    struct Suppression {
        std::atomic<bool>& flag;
        explicit Suppression(std::atomic<bool>& f) : flag(f) { flag = true; }
        ~Suppression() { flag = false; }
        Suppression(const Suppression&) = delete;
        Suppression& operator=(const Suppression&) = delete;
    } suppression(headerSuppressed_);
    *this << source;
    return *this;
}

void CMessageLog::showGroup(bool show) {
    showGroup_ = show;
}
void CMessageLog::showNumber(bool show) {
    showNumber_ = show;
}
void CMessageLog::showTime(bool show) {
    showTime_ = show;
}
void CMessageLog::showDate(bool show) {
    showDate_ = show;
}
void CMessageLog::showSource(bool show) {
    showSource_ = show;
}

void CMessageLog::indent() {
    CWriteLockGuard guard(internalLock_.get());
    ++indentLevel_;
}

void CMessageLog::unindent() {
    CWriteLockGuard guard(internalLock_.get());
    --indentLevel_;
}

void CMessageLog::setMessageLock(CReadWriteLock* lock) {
    internalLock_.reset();
    messageLock_ = lock;
    if (lock != nullptr)
        internalLock_ = std::make_unique<CReadWriteLock>();
}

void CMessageLog::lockMessage() {
    if (messageLock_ != nullptr)
        messageLock_->writeLock();
}

void CMessageLog::unlockMessage() {
    if (messageLock_ != nullptr)
        messageLock_->writeUnlock();
}

int CMessageLog::putChar(int c) {
    CWriteLockGuard guard(internalLock_.get());
    const WriterContext context = writerContext.logId == id_ ? writerContext : WriterContext{};
    // The group's flag is read at every character, so a switch takes effect at once.
    const bool written = enabled_ && (context.group == nullptr || context.group->isEnabled());
    bool headerFailed = false;
    if (atLineStart_) {
        atLineStart_ = false;
        if (written && c != '\n') {
            ++lineCounter_;
            std::ostringstream header;
            writeHeader(header);
            // The header's characters are ordinary characters of the line.
            for (const char h : header.str()) {
                if (putChar(static_cast<unsigned char>(h)) == traits_type::eof())
                    headerFailed = true;
            }
        }
    }
    int result = c;  // a dropped character never fails the stream
    if (written) {
        result = target_ != nullptr ? target_->sputc(static_cast<char>(c)) : traits_type::eof();
        if (headerFailed)
            result = traits_type::eof();
    }
    if (c == '\n') {
        if (target_ != nullptr)
            target_->pubsync();
        atLineStart_ = true;
    }
    return result;
}

void CMessageLog::writeHeader(std::ostream& headerOut) {
    if (headerSuppressed_)
        return;
    const bool showNumber = showNumber_;
    const bool showDate = showDate_;
    const bool showTime = showTime_;
    const bool showSource = showSource_;
    std::string header;

    std::tm now{};
    if (showDate || showTime)
        now = localTime(clock_ ? clock_() : std::time(nullptr));

    if (showGroup_) {
        const WriterContext context = writerContext.logId == id_ ? writerContext : WriterContext{};
        if (context.group != nullptr) {
            const int number = context.group->id();
            header += '[';
            if (number < 0)
                header += '-';
            appendNumber(header,
                         static_cast<unsigned long>(number < 0 ? -std::int64_t{number} : number),
                         number < 0 ? 2 : 3);
            header += "] ";
        } else {
            header += "      ";
        }
    }
    if (showNumber) {
        appendNumber(header, lineCounter_, 6);
        header += ' ';
    }
    if (showDate) {
        static constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                  "jul", "aug", "sep", "oct", "nov", "dec"};
        appendTwoDigits(header, now.tm_mday);
        header += kMonths[now.tm_mon >= 0 && now.tm_mon < 12 ? now.tm_mon : 0];
        appendTwoDigits(header, 1900 + now.tm_year);
        header += ' ';
    }
    if (showTime) {
        appendTwoDigits(header, now.tm_hour);
        header += ':';
        appendTwoDigits(header, now.tm_min);
        header += ':';
        appendTwoDigits(header, now.tm_sec);
        header += ' ';
    }
    if (showSource) {
        const WriterContext context = writerContext.logId == id_ ? writerContext : WriterContext{};
        header += sourceColumn(context.file, context.line);
        header += ' ';
    }
    if (showNumber || showDate || showTime || showSource)
        header += "| ";
    const std::int64_t indentation = std::int64_t{indentLevel_} * indentWidth_;
    if (indentation > 0)
        header.append(static_cast<std::size_t>(indentation), ' ');
    headerOut << header;
}

CMessageLog& CMessageLog::setContext(const CMessageGroup* group, const char* file,
                                     std::uint32_t line) {
    writerContext = WriterContext{id_, group, file, line};
    return *this;
}

void CMessageLog::setClock(std::function<std::time_t()> clock) {
    CWriteLockGuard guard(internalLock_.get());
    clock_ = std::move(clock);
}

namespace {

// The process's log and the message lock it is created with; the lock outlives the log.
struct ProcessLog {
    CReadWriteLock messageLock;
    CMessageLog log{std::clog};
    ProcessLog() { log.setMessageLock(&messageLock); }
};

ProcessLog& processLog() {
    static ProcessLog instance;
    return instance;
}

}  // namespace

CMessageLog& theMessageLog(const CMessageGroup* group, const char* file, std::uint32_t line) {
    return processLog().log.setContext(group, file, line);
}

CMessageLog& theMessageLog() {
    return theMessageLog(nullptr, nullptr, 0);
}
