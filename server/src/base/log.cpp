#include "base/log.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace dvs {

namespace {

thread_local LogBatch *t_batch = nullptr;

void WriteWhole(const char *text, size_t size)
{
    ssize_t ignored = write(STDERR_FILENO, text, size);
    (void)ignored;
}

// line ends with its newline.
void Emit(std::string_view line)
{
    if (t_batch)
        t_batch->Add(line);
    else
        WriteWhole(line.data(), line.size());
}

}  // namespace

void LogLine(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0)
        return;
    if (length > static_cast<int>(sizeof line) - 2)
        length = sizeof line - 2;
    line[length++] = '\n';
    Emit(std::string_view(line, static_cast<size_t>(length)));
}

LogText &LogText::operator<<(std::string_view text)
{
    size_t n = std::min(text.size(), kRoom - size_);
    std::memcpy(text_ + size_, text.data(), n);
    size_ += n;
    return *this;
}

void LogText::Write()
{
    text_[size_] = '\n';
    Emit(std::string_view(text_, size_ + 1));
}

void LogBatch::Attach(std::function<void()> onFirst)
{
    onFirst_ = std::move(onFirst);
    t_batch = this;
}

void LogBatch::Detach()
{
    Flush();
    if (t_batch == this)
        t_batch = nullptr;
}

void LogBatch::Flush()
{
    if (size_ > 0)
        WriteWhole(text_, size_);
    size_ = 0;
}

void LogBatch::Add(std::string_view line)
{
    if (size_ + line.size() > kCapacity)
        Flush();
    if (line.size() > kCapacity) {
        WriteWhole(line.data(), line.size());
        return;
    }
    bool first = size_ == 0;
    std::memcpy(text_ + size_, line.data(), line.size());
    size_ += line.size();
    if (first && onFirst_)
        onFirst_();
}

}  // namespace dvs
