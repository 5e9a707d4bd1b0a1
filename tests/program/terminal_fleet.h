#pragma once

// Many door terminals uploading at once, each with lorvent's own upload
// rules (the window's upload tick over a real TCPConn, a data file of its
// own), each on a thread of its own: what the fault tests put under load.
#include "app/tcpconn/tcp_conn.h"
#include "attendance_window.h"
#include "support/data_file.h"
#include "support/temp_dir.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace lorvent::testing {

// The terminal's connection, recording which request lines got "OK".
class RecordingConnection : public TServerConnection {
public:
    RecordingConnection(std::uint16_t port, std::set<std::string>& confirmed, std::mutex& mutex)
        : conn_("127.0.0.1", port), confirmed_(confirmed), mutex_(mutex) {}

    void Connect() override { conn_.Connect(); }
    void WriteLine(std::string_view text) override {
        conn_.WriteLine(text);
        lastRequest_ = text;
    }
    std::string ReadLine() override {
        std::string reply = conn_.ReadLine();
        if (reply == kServerConfirmation) {
            const std::lock_guard lock(mutex_);
            // The number is the request's last word; a second "OK" for it
            // would be an answer given twice.
            if (!confirmed_.insert(lastRequest_.substr(lastRequest_.rfind(' ') + 1)).second)
                ++answeredTwice;
        }
        return reply;
    }
    bool Connected() const override { return conn_.Connected(); }
    void Disconnect() noexcept override { conn_.Disconnect(); }

    int answeredTwice = 0;

private:
    TCPConn conn_;
    std::string lastRequest_;
    std::set<std::string>& confirmed_;
    std::mutex& mutex_;
};

// What the fleet knows at the end, by card number.
struct FleetAccount {
    std::set<std::string> sent;
    std::set<std::string> confirmed; // "OK" came back
    std::set<std::string> filed;     // in a data file
    std::vector<std::string> strangeLines;
    int answeredTwice = 0;
    int filedTwice = 0;
};

class TerminalFleet {
public:
    // `terminals` of them, each offering `recordsPerTick` new records a tick
    // to the server on `port`, data files in `directory`.
    TerminalFleet(int terminals, int recordsPerTick, std::uint16_t port,
                  std::filesystem::path directory)
        : directory_(std::move(directory)) {
        for (int t = 0; t < terminals; ++t)
            terminals_.push_back(std::make_unique<Terminal>(*this, t, recordsPerTick, port));
        for (auto& terminal : terminals_)
            terminal->thread = std::thread([&terminal = *terminal] { terminal.Run(); });
    }
    ~TerminalFleet() { Stop(); }

    // Ends every terminal after its tick; a tick's records are all either
    // confirmed or filed by then.
    void Stop() {
        stop_ = true;
        for (auto& terminal : terminals_) {
            if (terminal->thread.joinable())
                terminal->thread.join();
        }
    }

    std::size_t ConfirmedSoFar() {
        const std::lock_guard lock(mutex_);
        return confirmed_.size();
    }

    // Call after Stop.
    FleetAccount Account() {
        FleetAccount account;
        account.confirmed = confirmed_;
        for (auto& terminal : terminals_) {
            account.sent.insert(terminal->sent.begin(), terminal->sent.end());
            account.answeredTwice += terminal->connection->answeredTwice;
            terminal->window.Close();
            ReadDataFile(terminal->DataFilePath(), account);
        }
        return account;
    }

private:
    struct Terminal {
        Terminal(TerminalFleet& owner, int number, int records, std::uint16_t port)
            : fleet(owner), index(number), recordsPerTick(records),
              window(DataFilePath(), [this, port]() -> std::unique_ptr<TServerConnection> {
                  auto recording =
                      std::make_unique<RecordingConnection>(port, fleet.confirmed_, fleet.mutex_);
                  connection = recording.get();
                  return recording;
              }) {
            now.tm_year = 126;
            now.tm_mon = 11;
            now.tm_mday = 7;
        }

        std::string DataFilePath() const {
            return (fleet.directory_ / ("terminal-" + std::to_string(index) + ".db")).string();
        }

        // A tick as lorvent's timer runs it, back to back with a short pause.
        void Run() {
            while (!fleet.stop_) {
                for (int r = 0; r < recordsPerTick; ++r) {
                    char number[11];
                    std::snprintf(number, sizeof number, "%04x%06x", index, serial++);
                    sent.push_back(number);
                    now.tm_min = serial % 60;
                    window.Read(number, now);
                }
                window.UploadTick();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }

        TerminalFleet& fleet;
        int index;
        int recordsPerTick;
        int serial = 0;
        std::tm now{};
        RecordingConnection* connection = nullptr;
        TAttendanceWindow window;
        std::vector<std::string> sent;
        std::thread thread;
    };

    static void ReadDataFile(const std::string& path, FleetAccount& account);

    std::filesystem::path directory_;
    std::mutex mutex_;
    std::set<std::string> confirmed_;
    std::atomic<bool> stop_{false};
    std::vector<std::unique_ptr<Terminal>> terminals_;
};

// "dd/mm/yyyy-hh:nn number" CR LF a line.
inline void TerminalFleet::ReadDataFile(const std::string& path, FleetAccount& account) {
    const TDataFileLines file = SplitDataFile(FileBytes(path));
    for (const std::string& line : file.lines) {
        if (line.size() != 27 || line[2] != '/' || line[16] != ' ') {
            account.strangeLines.push_back(path + ": '" + line + "'");
            continue;
        }
        if (!account.filed.insert(line.substr(17)).second)
            ++account.filedTwice;
    }
    if (!file.unfinished.empty())
        account.strangeLines.push_back(path + ": ends in an unfinished line");
}

} // namespace lorvent::testing
