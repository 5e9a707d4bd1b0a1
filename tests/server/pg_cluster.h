#pragma once

#include <string>
#include <vector>

namespace lorvent::testing {

// A throwaway PostgreSQL cluster: initdb into a fresh temporary directory,
// the server on 127.0.0.1 at a free port and on a Unix socket in that
// directory, trust authentication for the role "lorvent". Run as the user
// "postgres" when the test runs as root (PostgreSQL refuses root). Uses the
// server programs of `pg_config --bindir`.
class PgCluster {
public:
    PgCluster(); // throws std::runtime_error with initdb's or pg_ctl's output
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // A libpq URI for `database` over TCP.
    std::string Uri(const std::string& database) const;
    // A fresh database; its name is returned.
    std::string CreateDatabase();

    // pg_ctl stop -m immediate: the server dies as in a crash.
    void Kill();
    void Start();

    // Rows of a query, the columns of each joined by ' '. Throws std::runtime_error.
    std::vector<std::string> Query(const std::string& database, const std::string& sql) const;

private:
    void PgCtl(const std::vector<std::string>& arguments) const;
    void Run(const std::string& program, std::vector<std::string> arguments) const;

    std::string directory_;
    std::string bindir_;
    unsigned port_ = 0;
    int databases_ = 0;
};

} // namespace lorvent::testing
