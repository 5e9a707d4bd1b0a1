// The attendance server under many terminals at once: each terminal does
// what lorvent does in a tick (connect, k request lines one at a time, each
// waiting for its reply, close), the ticks back to back. Reports records per
// second and the time from request to "OK" for N terminals, against each
// server given: a build of today's server as the baseline, this one with
// SQLite, and this one with PostgreSQL (a throwaway cluster of its own).
//
// Last, two servers of this build on one PostgreSQL database, as a site that
// puts them behind one name: each terminal sends each record twice, one tick
// to one server and the next tick to the other (a terminal whose "OK" was
// lost and whose name now leads to the other server), and the database must
// hold every record once.
//
//   server_load_bench --server PATH [--baseline PATH] [--terminals 1,50,500]
//                     [--records 5] [--ticks 2] [--no-postgres]
#include "support/child_process.h"
#include "support/pg_cluster.h"
#include "support/temp_dir.h"

#include <asio.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using lorvent::testing::TChildProcess;

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;

struct LoadSettings {
    int terminals = 1;
    int recordsPerTick = 5;
    int ticks = 2;
    // Two servers: terminal i sends tick t to server (i + t) % 2, and ticks
    // 2k and 2k + 1 send the same records.
    bool twoServers = false;
};

struct LoadResult {
    std::size_t confirmed = 0;
    std::size_t refused = 0; // a reply other than OK, or the connection failed
    std::size_t late = 0;    // an OK after more than the 1 s lorvent waits
    double seconds = 0;
    std::vector<double> latenciesMs;
};

// One terminal: its ticks one after the other, as asynchronous steps.
class Terminal : public std::enable_shared_from_this<Terminal> {
public:
    Terminal(asio::io_context& io, std::vector<tcp::endpoint> servers, int index,
             const LoadSettings& settings, LoadResult& result)
        : socket_(io), servers_(std::move(servers)), index_(index), settings_(settings),
          result_(result) {}

    void Start() { Connect(); }

private:
    void Connect() {
        socket_ = tcp::socket(socket_.get_executor());
        const tcp::endpoint server = servers_[(index_ + tick_) % servers_.size()];
        if (settings_.twoServers && tick_ % 2 == 1)
            serial_ -= settings_.recordsPerTick; // the records of the tick before, again
        socket_.async_connect(server, [self = shared_from_this()](const asio::error_code& error) {
            self->record_ = 0;
            if (error)
                return self->EndTick(self->Unconfirmed());
            self->socket_.set_option(tcp::no_delay(true));
            self->Send();
        });
    }

    // The tick's records not confirmed yet.
    int Unconfirmed() const { return settings_.recordsPerTick - record_; }

    void Send() {
        char line[40];
        std::snprintf(line, sizeof line, "L 07/12/2026-08:%02d %04x%06x\r\n", record_ % 60, index_,
                      serial_++);
        request_ = line;
        sentAt_ = Clock::now();
        asio::async_write(socket_, asio::buffer(request_),
                          [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                              if (error)
                                  return self->EndTick(self->Unconfirmed());
                              self->Receive();
                          });
    }

    void Receive() {
        asio::async_read_until(
            socket_, asio::dynamic_buffer(input_), "\r\n",
            [self = shared_from_this()](const asio::error_code& error, std::size_t length) {
                if (error)
                    return self->EndTick(self->Unconfirmed());
                self->OnReply(length);
            });
    }

    void OnReply(std::size_t length) {
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sentAt_).count();
        const bool ok = input_.compare(0, length, "OK\r\n") == 0;
        input_.erase(0, length);
        if (!ok)
            return EndTick(Unconfirmed());
        ++result_.confirmed;
        result_.late += ms > 1000;
        result_.latenciesMs.push_back(ms);
        if (++record_ < settings_.recordsPerTick)
            return Send();
        EndTick(0);
    }

    // The rest of the tick's records are what lorvent would put in its data file.
    void EndTick(int unconfirmed) {
        result_.refused += static_cast<std::size_t>(unconfirmed);
        asio::error_code ignored;
        socket_.close(ignored);
        input_.clear();
        if (++tick_ < settings_.ticks)
            Connect();
    }

    tcp::socket socket_;
    std::vector<tcp::endpoint> servers_;
    int index_;
    const LoadSettings& settings_;
    LoadResult& result_;
    int tick_ = 0;
    int record_ = 0;
    int serial_ = 0;
    std::string request_;
    std::string input_;
    Clock::time_point sentAt_;
};

LoadResult RunLoad(const std::vector<std::uint16_t>& ports, const LoadSettings& settings) {
    asio::io_context io;
    LoadResult result;
    std::vector<tcp::endpoint> servers;
    for (std::uint16_t port : ports)
        servers.emplace_back(asio::ip::make_address("127.0.0.1"), port);
    for (int t = 0; t < settings.terminals; ++t)
        std::make_shared<Terminal>(io, servers, t, settings, result)->Start();
    const auto start = Clock::now();
    io.run();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

double Percentile(std::vector<double>& values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

// A kalvinor-server process, its standard output to /dev/null (the baseline
// would stall on a full pipe), and the port it says it listens on.
struct RunningServer {
    std::unique_ptr<TChildProcess> process;
    std::uint16_t port = 0;
};

RunningServer StartServer(const std::string& program, const std::string& database) {
    TChildProcess::TOptions options;
    options.argv = {program, "--port", "0", "--db", database};
    options.captureStdout = false;
    RunningServer server;
    server.process = std::make_unique<TChildProcess>(options);
    const auto port = lorvent::testing::ListeningPort(*server.process);
    if (!port)
        throw std::runtime_error(program + " did not start: " + server.process->Stderr());
    server.port = *port;
    return server;
}

struct Target {
    std::string name;
    std::string program;
    bool postgres;
    int servers = 1;
};

// The rows of the database, counted by the server's own listing.
std::size_t StoredRecords(const std::string& program, const std::string& database) {
    TChildProcess::TOptions options;
    options.argv = {program, "--list", "--db", database};
    TChildProcess list(options);
    std::size_t rows = 0;
    while (list.ReadLine(std::chrono::seconds(30)))
        ++rows;
    if (list.Wait(std::chrono::seconds(30)) != 0)
        throw std::runtime_error("--list failed: " + list.Stderr());
    return rows;
}

std::vector<int> NumberList(const std::string& text) {
    std::vector<int> numbers;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');)
        numbers.push_back(std::stoi(item));
    return numbers;
}

} // namespace

int main(int argc, char** argv) {
    std::string server;
    std::string baseline;
    std::vector<int> terminals = {1, 50, 500};
    LoadSettings settings;
    bool withPostgres = true;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const auto value = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (name == "--server")
            server = value();
        else if (name == "--baseline")
            baseline = value();
        else if (name == "--terminals")
            terminals = NumberList(value());
        else if (name == "--records")
            settings.recordsPerTick = std::stoi(value());
        else if (name == "--ticks")
            settings.ticks = std::stoi(value());
        else if (name == "--no-postgres")
            withPostgres = false;
        else {
            std::cerr << "usage: server_load_bench --server PATH [--baseline PATH]"
                         " [--terminals 1,50,500] [--records K] [--ticks T] [--no-postgres]\n";
            return 2;
        }
    }
    if (server.empty()) {
        std::cerr << "server_load_bench: --server PATH is needed\n";
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<Target> targets;
    if (!baseline.empty())
        targets.push_back({"baseline", baseline, false});
    targets.push_back({"this", server, false});
    std::unique_ptr<lorvent::testing::TPgCluster> cluster;
    if (withPostgres) {
        cluster = std::make_unique<lorvent::testing::TPgCluster>();
        targets.push_back({"this", server, true});
        targets.push_back({"this x2", server, true, 2});
    }

    const lorvent::testing::TTempDir work;
    std::cout
        << "| server | store | terminals | records | records/s | p50 ms | p99 ms | max ms"
           " | not OK | OK after 1 s | stored |\n|---|---|---|---|---|---|---|---|---|---|---|\n";
    int run = 0;
    for (const Target& target : targets) {
        for (int n : terminals) {
            settings.terminals = n;
            settings.twoServers = target.servers == 2;
            const std::string database =
                target.postgres ? cluster->Uri(cluster->CreateDatabase())
                                : work.File("run" + std::to_string(++run) + ".sqlite").string();
            std::vector<RunningServer> running;
            std::vector<std::uint16_t> ports;
            for (int i = 0; i < target.servers; ++i) {
                running.push_back(StartServer(target.program, database));
                ports.push_back(running.back().port);
            }
            LoadResult result = RunLoad(ports, settings);
            running.clear();
            // Records sent twice (two servers) are held once.
            const std::size_t stored = StoredRecords(server, database);
            const double p50 = Percentile(result.latenciesMs, 0.50);
            const double p99 = Percentile(result.latenciesMs, 0.99);
            const double max = result.latenciesMs.empty() ? 0 : result.latenciesMs.back();
            char row[256];
            std::snprintf(row, sizeof row,
                          "| %s | %s | %d | %zu | %.0f | %.1f | %.1f | %.1f | %zu | %zu | %zu |\n",
                          target.name.c_str(), target.postgres ? "PostgreSQL" : "SQLite", n,
                          result.confirmed + result.refused,
                          static_cast<double>(result.confirmed) / result.seconds, p50, p99, max,
                          result.refused, result.late, stored);
            std::cout << row << std::flush;
        }
    }
    return 0;
}
