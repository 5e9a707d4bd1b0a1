#include "pg_cluster.h"

#include <libpq-fe.h>

#include <asio.hpp>

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

extern char** environ;

namespace lorvent::testing {

namespace {

std::string CommandOutput(const char* command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command, "r"), pclose);
    if (!pipe)
        return {};
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe.get()))
        output += buffer;
    while (!output.empty() && (output.back() == '\n' || output.back() == ' '))
        output.pop_back();
    return output;
}

// Debian's server programs, whichever initdb comes first on the path.
std::string ServerBinDir() {
    const std::string bindir = CommandOutput("pg_config --bindir 2>/dev/null");
    if (!bindir.empty() && std::filesystem::exists(bindir + "/initdb"))
        return bindir;
    throw std::runtime_error("no PostgreSQL server programs: install postgresql and libpq-dev");
}

unsigned FreePort() {
    asio::io_context io;
    asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
    return probe.local_endpoint().port();
}

std::string FileText(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

} // namespace

PgCluster::PgCluster() : bindir_(ServerBinDir()), port_(FreePort()) {
    char pattern[] = "/tmp/lorvent-pg-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
    if (geteuid() == 0) {
        const passwd* postgres = getpwnam("postgres");
        if (!postgres || chown(directory_.c_str(), postgres->pw_uid, postgres->pw_gid) != 0)
            throw std::runtime_error("running as root needs the user postgres to own " + directory_);
    }
    Run(bindir_ + "/initdb", {"-D", directory_ + "/data", "-A", "trust", "-U", "lorvent",
                              "-E", "UTF8", "--locale=C", "--no-sync"});
    Start();
}

PgCluster::~PgCluster() {
    try {
        Kill();
    } catch (...) {
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

std::string PgCluster::Uri(const std::string& database) const {
    return "postgresql://lorvent@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string PgCluster::CreateDatabase() {
    const std::string name = "test" + std::to_string(++databases_);
    Query("postgres", "CREATE DATABASE " + name);
    return name;
}

void PgCluster::Kill() {
    PgCtl({"stop", "-m", "immediate"});
}

void PgCluster::Start() {
    PgCtl({"start", "-w", "-t", "60", "-l", directory_ + "/server.log", "-o",
           "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) + " -k " + directory_});
}

void PgCluster::PgCtl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> all = {"-D", directory_ + "/data"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    Run(bindir_ + "/pg_ctl", all);
}

// As the user postgres when root; output to a file that a failure shows.
void PgCluster::Run(const std::string& program, std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), program);
    if (geteuid() == 0)
        arguments.insert(arguments.begin(), {"runuser", "-u", "postgres", "--"});
    const std::string output = directory_ + "/command.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        throw std::runtime_error(program + " failed: " + FileText(output) +
                                 FileText(directory_ + "/server.log"));
}

std::vector<std::string> PgCluster::Query(const std::string& database,
                                          const std::string& sql) const {
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(Uri(database).c_str()), PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error(std::string("cannot connect: ") + PQerrorMessage(conn.get()));
    std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()),
                                                          PQclear);
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw std::runtime_error(sql + ": " + PQerrorMessage(conn.get()));
    std::vector<std::string> rows;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        std::string text;
        for (int column = 0; column < PQnfields(result.get()); ++column)
            text += (column ? " " : "") + std::string(PQgetvalue(result.get(), row, column));
        rows.push_back(text);
    }
    return rows;
}

} // namespace lorvent::testing
