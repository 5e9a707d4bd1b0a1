#pragma once

// Debian's chromium, headless, driven over its DevTools protocol on a pair
// of pipes (--remote-debugging-pipe: JSON messages ended by a NUL), as a
// user would drive it: open a page, fill in and send a form, follow a link,
// download a file, take a screenshot or print. One tab.

#include "support/child_process.h"

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lorvent::testing {

// Debian's chromium, headless and quiet (no network of its own, no first-run
// or sync work), on the profile at `profileDir`: its command line before the
// caller's own arguments.
std::vector<std::string> HeadlessChromium(const std::string& profileDir);

class TDevToolsBrowser {
public:
    // Starts chromium with a profile in `profileDir` and opens a tab.
    // `extraArguments` go on its command line (e.g. which certificate to
    // trust). Throws std::runtime_error when it does not come up.
    TDevToolsBrowser(const std::string& profileDir, const std::vector<std::string>& extraArguments);
    ~TDevToolsBrowser();
    TDevToolsBrowser(const TDevToolsBrowser&) = delete;
    TDevToolsBrowser& operator=(const TDevToolsBrowser&) = delete;

    // Sends a command (`params` a JSON object) to the tab, or to the browser
    // when `toBrowser`; returns the result's JSON. Throws std::runtime_error
    // with chromium's error, or when no answer came in time.
    std::string Call(const std::string& method, const std::string& params = "{}",
                     bool toBrowser = false);
    // The params of the next event `method` (events that came before the
    // call and were not taken yet count too); throws when none came in time.
    std::string WaitForEvent(const std::string& method);

    // Opens `url` and waits until it has loaded.
    void Open(const std::string& url);
    // Runs `expression` in the page and returns its value as a string.
    std::string Evaluate(const std::string& expression);
    // Runs `expression`, which makes the page go elsewhere (submits a form,
    // follows a link), and waits until the next page has loaded.
    void EvaluateAndWaitForLoad(const std::string& expression);

    std::string Stderr() { return process_->Stderr(); }

private:
    void Send(const std::string& message);
    // Drops the load events of pages before the one about to be opened.
    void ForgetLoads();
    // The next message from chromium; nothing when none came in time.
    std::optional<std::string> Receive(std::chrono::steady_clock::time_point deadline);

    std::unique_ptr<TChildProcess> process_;
    int toBrowser_ = -1;
    int fromBrowser_ = -1;
    std::string pending_;
    std::deque<std::string> events_;
    std::string session_;
    int lastId_ = 0;
};

// `text` as a JSON string, quotes included.
std::string JsonQuoted(const std::string& text);
// The string value of the first "name": in `json`, unescaped; nothing when
// there is none.
std::optional<std::string> JsonString(const std::string& json, const std::string& name);
// Base64 (as the protocol sends screenshots and PDFs) decoded.
std::string Base64Decoded(const std::string& text);

} // namespace lorvent::testing
