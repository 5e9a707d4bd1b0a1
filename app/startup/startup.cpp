#include "startup.h"

#include "app/main_frm.h"
#include "startup_error.h"

#include <exception>

namespace lorvent {

std::string ErrorBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

namespace {

void Report(TMessageBoxes& boxes, std::ostream& errors, const std::string& text,
            const char* caption, TMessageIcon icon) {
    errors << "lorvent: " << caption << ": " << text << std::endl;
    boxes.ShowMessage(text, caption, icon);
}

} // namespace

bool StartUp(TMainFrm& window, const std::vector<std::string>& arguments, TMessageBoxes& boxes,
             std::ostream& errors) {
    try {
        return window.InitFromCommandLine(arguments);
    } catch (const TStartupError& failure) {
        Report(boxes, errors, failure.text, kErrorCaption, TMessageIcon::None);
    } catch (const std::exception& failure) {
        Report(boxes, errors, ErrorBoxText(failure.what()), kApplicationTitle, TMessageIcon::Error);
    } catch (...) {
        Report(boxes, errors, "", kApplicationTitle, TMessageIcon::Error);
    }
    return false;
}

} // namespace lorvent
