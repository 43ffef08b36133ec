#include "core/analysis/line_splitter.h"

#include "core/analysis/frequency.h"
#include "core/text/text.h"

namespace snt {

LineSplitter::LineSplitter(std::string_view name, Limits limits) : name_(printable(name)), limits_(limits) {}

void LineSplitter::feed(std::string_view bytes)
{
    total_ += bytes.size();
    if (total_ > limits_.file_bytes)
        throw InputError(name_ + " is larger than " + std::to_string(limits_.file_bytes) + " bytes");
    if (begin_ > 0) {
        buffer_.erase(0, begin_);
        begin_ = 0;
    }
    buffer_.append(bytes);
}

std::string LineSplitter::too_long() const
{
    return name_ + " line " + std::to_string(line_ + 1) + " is longer than " + std::to_string(limits_.line_bytes) +
        " bytes";
}

std::optional<std::string> LineSplitter::next()
{
    const auto end = buffer_.find('\n', begin_ + scanned_);
    const std::size_t length = (end == std::string::npos ? buffer_.size() : end) - begin_;
    if (length > limits_.line_bytes + 1) throw InputError(too_long()); // room for a "\r" before the "\n"
    if (end == std::string::npos && !(eof_ && begin_ < buffer_.size())) {
        scanned_ = length;
        return std::nullopt;
    }
    std::string line = buffer_.substr(begin_, length);
    begin_ += length + (end == std::string::npos ? 0 : 1);
    scanned_ = 0;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > limits_.line_bytes) throw InputError(too_long());
    ++line_;
    return line;
}

} // namespace snt
