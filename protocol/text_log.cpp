#include "text_log.h"

#include <array>
#include <utility>

namespace lorvent {

TTextMessage::TTextMessage(std::uint8_t level_, std::string text_, std::string category_)
    : level(level_), text(std::move(text_)), category(std::move(category_)) {}

const char* TTextMessage::LevelName() const {
    static constexpr std::array<const char*, 5> names = {"Warn", "Trce", "Info", "Mesg", "Err "};
    return level < names.size() ? names[level] : "Unkn";
}

TTextMessageQueue::~TTextMessageQueue() = default;

void TTextMessageQueue::Put(std::unique_ptr<TTextMessage> message) {
    LockCS guard(lock_);
    queue_.push_back(std::move(message));
    Notify();
}

std::unique_ptr<TTextMessage> TTextMessageQueue::Get() {
    LockCS guard(lock_);
    if (queue_.empty())
        return nullptr;
    auto message = std::move(queue_.front());
    queue_.pop_front();
    return message;
}

std::string FormatCtime(const std::tm& local) {
    static constexpr std::array<const char*, 7> days = {"Sun", "Mon", "Tue", "Wed",
                                                        "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> months = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto day = static_cast<std::size_t>(local.tm_wday) % days.size();
    const auto month = static_cast<std::size_t>(local.tm_mon) % months.size();
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %d\n", days[day], months[month],
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
    return text;
}

std::string FormatText(const char* format, std::va_list arguments) {
    std::va_list measure;
    va_copy(measure, arguments);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0)
        return {};
    std::string text(static_cast<std::size_t>(needed), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    return text;
}

} // namespace lorvent
