// Log lines on stderr (journald adds the time). A line is written whole in one write, so
// lines from different threads never interleave. A network thread gathers its lines and
// writes them together (LogBatch), within a few milliseconds.
#pragma once
#include <charconv>
#include <concepts>
#include <cstddef>
#include <functional>
#include <string_view>

namespace dvs {

void LogLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A line put together from pieces, without printf's parsing: for the line of every session.
class LogText {
public:
    LogText &operator<<(std::string_view text);
    LogText &operator<<(std::integral auto number)
    {
        auto [end, error] = std::to_chars(text_ + size_, text_ + kRoom, number);
        if (error == std::errc())
            size_ = static_cast<size_t>(end - text_);
        return *this;
    }
    // Writes the line (or hands it to the thread's batch).
    void Write();

private:
    static constexpr size_t kRoom = 1023;  // and the newline
    char text_[kRoom + 1];
    size_t size_ = 0;
};

// The lines of one thread, written together: the thread's owner flushes them soon after
// the first arrives (onFirst is called to arrange that), and a line that would not fit
// flushes the batch first. One write stays within PIPE_BUF, so it is never interleaved
// with another thread's on journald's pipe either.
class LogBatch {
public:
    static constexpr size_t kCapacity = 4096;

    // From now on the calling thread's lines go to this batch.
    void Attach(std::function<void()> onFirst);
    // Writes what is gathered; the thread's lines are written one by one again.
    void Detach();
    void Flush();
    void Add(std::string_view line);

private:
    char text_[kCapacity];
    size_t size_ = 0;
    std::function<void()> onFirst_;
};

}  // namespace dvs
