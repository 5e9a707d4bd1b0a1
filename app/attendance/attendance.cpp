#include "app/attendance/attendance.h"

#include "app/attendance/data_path.h"
#include "record/record_text.h"

namespace lorvent {

std::string RecordText(const TLogItem& item) {
    return record::RecordText(record::WireDateTime(item.ReadTime), item.Number);
}

std::string RequestLine(const TLogItem& item) {
    return "L " + RecordText(item);
}

std::string DataFileLine(const TLogItem& item) {
    return RecordText(item) + kDataFileLineEnd;
}

void TDataFileAppender::TakeOver(std::FILE* file) {
    fragmentLeft_ = file != nullptr && EndsInsideALine(file);
}

// Only the last byte is read: an empty file, or one with no end to seek to
// (a device), has no line to finish. The stream is left at the end, where a
// write may follow the read.
bool TDataFileAppender::EndsInsideALine(std::FILE* file) {
    const long end = EndOffset(file);
    const bool seeked = end > 0 && std::fseek(file, end - 1, SEEK_SET) == 0;
    const int last = seeked ? std::fgetc(file) : EOF;
    std::clearerr(file);
    EndOffset(file);
    return last != EOF && last != '\n';
}

bool TDataFileAppender::Append(std::FILE* file, const std::string& line) {
    if (file == nullptr)
        return false;
    const long before = EndOffset(file);
    const bool written = Write(file, fragmentLeft_ ? kDataFileLineEnd + line : line);
    if (written) {
        fragmentLeft_ = false;
        return true;
    }
    std::clearerr(file);
    const long after = EndOffset(file);
    // Where the size cannot be told, assume the worst: an empty line at most.
    fragmentLeft_ = fragmentLeft_ || before < 0 || after != before;
    return false;
}

bool TDataFileAppender::Write(std::FILE* file, const std::string& text) {
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    // Flushed even after a short write, so that nothing of it stays buffered
    // to turn up later in the middle of another line.
    const bool flushed = std::fflush(file) == 0;
    return written && flushed;
}

long TDataFileAppender::EndOffset(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0)
        return -1;
    return std::ftell(file);
}

} // namespace lorvent
