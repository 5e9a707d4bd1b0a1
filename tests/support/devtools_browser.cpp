#include "support/devtools_browser.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <stdexcept>

namespace lorvent::testing {
namespace {

using Clock = std::chrono::steady_clock;

// How long chromium may take over one step: starting, loading a page,
// printing it. Generous for a loaded machine under the sanitizers.
constexpr auto kPatience = std::chrono::seconds(90);

void AppendUtf8(std::string& text, unsigned code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The JSON string that starts after the opening quote at `at`.
std::string Unescaped(const std::string& json, std::size_t at) {
    std::string text;
    for (std::size_t i = at; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] != '\\') {
            text += json[i];
            continue;
        }
        const char escaped = json[++i];
        switch (escaped) {
        case 'n':
            text += '\n';
            break;
        case 'r':
            text += '\r';
            break;
        case 't':
            text += '\t';
            break;
        case 'b':
            text += '\b';
            break;
        case 'f':
            text += '\f';
            break;
        case 'u': {
            unsigned code = std::stoul(json.substr(i + 1, 4), nullptr, 16);
            i += 4;
            if (code >= 0xD800 && code < 0xDC00 && json.compare(i + 1, 2, "\\u") == 0) {
                const unsigned low = std::stoul(json.substr(i + 3, 4), nullptr, 16);
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            }
            AppendUtf8(text, code);
            break;
        }
        default:
            text += escaped; // " \ /
        }
    }
    return text;
}

bool IsEvent(const std::string& message) {
    return message.find("\"method\":") != std::string::npos &&
           message.find("\"id\":") == std::string::npos;
}

} // namespace

std::string JsonQuoted(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

std::optional<std::string> JsonString(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const std::size_t at = json.find(key);
    if (at == std::string::npos)
        return std::nullopt;
    return Unescaped(json, at + key.size());
}

std::string Base64Decoded(const std::string& text) {
    static const std::string kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const std::size_t value = kDigits.find(c);
        if (value == std::string::npos)
            continue; // padding and line ends
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return bytes;
}

std::vector<std::string> HeadlessChromium(const std::string& profileDir) {
    return {"/usr/bin/chromium",
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-quic",
            "--no-first-run",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--hide-scrollbars",
            "--user-data-dir=" + profileDir};
}

TDevToolsBrowser::TDevToolsBrowser(const std::string& profileDir,
                                   const std::vector<std::string>& extraArguments) {
    int toChromium[2], fromChromium[2];
    if (pipe2(toChromium, O_CLOEXEC) != 0 || pipe2(fromChromium, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    TChildProcess::TOptions options;
    options.argv = HeadlessChromium(profileDir);
    options.argv.push_back("--remote-debugging-pipe");
    options.argv.insert(options.argv.end(), extraArguments.begin(), extraArguments.end());
    options.argv.push_back("about:blank");
    options.passFds = {toChromium[0], fromChromium[1]};
    process_ = std::make_unique<TChildProcess>(options);
    close(toChromium[0]);
    close(fromChromium[1]);
    toBrowser_ = toChromium[1];
    fromBrowser_ = fromChromium[0];
    const std::string target =
        JsonString(Call("Target.createTarget", R"({"url":"about:blank"})", true), "targetId")
            .value_or("");
    session_ =
        JsonString(Call("Target.attachToTarget",
                        R"({"targetId":)" + JsonQuoted(target) + R"(,"flatten":true})", true),
                   "sessionId")
            .value_or("");
    Call("Page.enable");
}

// Asked to close first, so that it ends on its own rather than by a signal.
TDevToolsBrowser::~TDevToolsBrowser() {
    try {
        Call("Browser.close", "{}", true);
    } catch (const std::runtime_error&) {
        // it is ending anyway
    }
    close(toBrowser_);
    close(fromBrowser_);
}

void TDevToolsBrowser::Send(const std::string& message) {
    const std::string framed = message + '\0';
    std::size_t written = 0;
    while (written < framed.size()) {
        const ssize_t n = write(toBrowser_, framed.data() + written, framed.size() - written);
        if (n <= 0)
            throw std::runtime_error("chromium's pipe is closed: " + process_->Stderr());
        written += static_cast<std::size_t>(n);
    }
}

std::optional<std::string> TDevToolsBrowser::Receive(Clock::time_point deadline) {
    for (;;) {
        const std::size_t end = pending_.find('\0');
        if (end != std::string::npos) {
            std::string message = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return message;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable{fromBrowser_, POLLIN, 0};
        if (left <= 0 || poll(&readable, 1, static_cast<int>(left)) <= 0)
            return std::nullopt;
        char buffer[65536];
        const ssize_t n = read(fromBrowser_, buffer, sizeof buffer);
        if (n <= 0)
            return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string TDevToolsBrowser::Call(const std::string& method, const std::string& params,
                                   bool toBrowser) {
    const int id = ++lastId_;
    Send("{\"id\":" + std::to_string(id) + ",\"method\":" + JsonQuoted(method) + ",\"params\":" +
         params + (toBrowser ? std::string() : ",\"sessionId\":" + JsonQuoted(session_)) + "}");
    const std::string answer = "{\"id\":" + std::to_string(id) + ",";
    const auto deadline = Clock::now() + kPatience;
    while (const auto message = Receive(deadline)) {
        if (IsEvent(*message)) {
            events_.push_back(*message);
        } else if (message->starts_with(answer)) {
            if (message->find("\"error\":") != std::string::npos &&
                message->find("\"result\":") == std::string::npos)
                throw std::runtime_error(method + ": " + *message);
            return *message;
        }
    }
    throw std::runtime_error(method + ": no answer from chromium: " + process_->Stderr());
}

std::string TDevToolsBrowser::WaitForEvent(const std::string& method) {
    const std::string key = "\"method\":" + JsonQuoted(method);
    const auto take = [&]() -> std::optional<std::string> {
        for (auto it = events_.begin(); it != events_.end(); ++it)
            if (it->find(key) != std::string::npos) {
                std::string event = *it;
                events_.erase(it);
                return event;
            }
        return std::nullopt;
    };
    if (auto event = take())
        return *event;
    const auto deadline = Clock::now() + kPatience;
    while (const auto message = Receive(deadline)) {
        if (!IsEvent(*message))
            continue;
        if (message->find(key) != std::string::npos)
            return *message;
        events_.push_back(*message);
    }
    throw std::runtime_error("no " + method + " from chromium: " + process_->Stderr());
}

void TDevToolsBrowser::ForgetLoads() {
    std::erase_if(events_, [](const std::string& event) {
        return event.find("\"method\":\"Page.loadEventFired\"") != std::string::npos;
    });
}

void TDevToolsBrowser::Open(const std::string& url) {
    ForgetLoads();
    Call("Page.navigate", R"({"url":)" + JsonQuoted(url) + "}");
    WaitForEvent("Page.loadEventFired");
}

std::string TDevToolsBrowser::Evaluate(const std::string& expression) {
    const std::string result =
        Call("Runtime.evaluate",
             R"({"expression":)" + JsonQuoted(expression) + R"(,"returnByValue":true})");
    return JsonString(result, "value").value_or("");
}

void TDevToolsBrowser::EvaluateAndWaitForLoad(const std::string& expression) {
    ForgetLoads();
    Evaluate(expression);
    WaitForEvent("Page.loadEventFired");
}

} // namespace lorvent::testing
