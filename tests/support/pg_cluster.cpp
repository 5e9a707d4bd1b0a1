#include "support/pg_cluster.h"

#include "support/child_process.h"

#include <libpq-fe.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace lorvent::testing {
namespace {

bool RunsAsRoot() {
    return geteuid() == 0;
}

// Debian's server programs, of whichever pg_config comes first on the path.
std::string ServerBinDir() {
    TChildProcess::TOptions options;
    options.argv = {"pg_config", "--bindir"};
    TChildProcess pgConfig(options);
    const std::string bindir = pgConfig.ReadLine(30s).value_or("");
    if (!bindir.empty() && std::filesystem::exists(bindir + "/initdb"))
        return bindir;
    throw std::runtime_error("no PostgreSQL server programs: install postgresql and libpq-dev");
}

// A port on 127.0.0.1 that nobody listens on now.
unsigned FreePort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(probe);
    if (!bound)
        throw std::runtime_error("no free port on 127.0.0.1");
    return ntohs(address.sin_port);
}

// The cluster's directory is the unprivileged user's when the test runs as root.
void HandToThePostgresUser(const std::filesystem::path& directory) {
    const passwd* postgres = getpwnam("postgres");
    if (!postgres || chown(directory.c_str(), postgres->pw_uid, postgres->pw_gid) != 0)
        throw std::runtime_error("running as root needs the user postgres to own " +
                                 directory.string());
}

} // namespace

TPgCluster::TPgCluster() : bindir_(ServerBinDir()), port_(FreePort()) {
    if (RunsAsRoot())
        HandToThePostgresUser(dir_.Path());
    Run("initdb", {"-D", dir_.File("data"), "-A", "trust", "-U", "lorvent", "-E", "UTF8",
                   "--locale=C", "--no-sync"});
    Start();
}

TPgCluster::~TPgCluster() {
    try {
        Kill();
    } catch (...) {
    }
}

std::string TPgCluster::Uri(const std::string& database) const {
    return "postgresql://lorvent@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string TPgCluster::CreateDatabase() {
    const std::string name = "test" + std::to_string(++databases_);
    Query("postgres", "CREATE DATABASE " + name);
    return name;
}

void TPgCluster::Kill() {
    PgCtl({"stop", "-m", "immediate"});
}

void TPgCluster::Start() {
    PgCtl({"start", "-w", "-t", "60", "-l", dir_.File("server.log"), "-o",
           "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) + " -k " +
               dir_.Path().string()});
}

void TPgCluster::PgCtl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> all = {"-D", dir_.File("data")};
    all.insert(all.end(), arguments.begin(), arguments.end());
    Run("pg_ctl", all);
}

void TPgCluster::Run(const std::string& program, const std::vector<std::string>& arguments) const {
    TChildProcess::TOptions options;
    if (RunsAsRoot())
        options.argv = {"runuser", "-u", "postgres", "--"};
    options.argv.push_back(bindir_ + "/" + program);
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    TChildProcess run(options);
    if (run.Wait(120s) != 0)
        throw std::runtime_error(program + " failed: " + run.Transcript() + run.Stderr() +
                                 FileBytes(dir_.File("server.log")));
}

std::vector<std::string> TPgCluster::Query(const std::string& database,
                                           const std::string& sql) const {
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(Uri(database).c_str()), PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error(std::string("cannot connect: ") + PQerrorMessage(conn.get()));
    std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()), PQclear);
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
