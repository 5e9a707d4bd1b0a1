#pragma once

#include "support/temp_dir.h"

#include <string>
#include <vector>

namespace lorvent::testing {

// A throwaway PostgreSQL cluster: initdb into a temporary directory of its
// own, the server on 127.0.0.1 at a free port and on a Unix socket in that
// directory, trust authentication for the role "lorvent". PostgreSQL refuses
// to run as root, so a test run as root runs the cluster's programs as the
// unprivileged user "postgres" (made by Debian's postgresql package). The
// server programs are those of `pg_config --bindir`.
class TPgCluster {
public:
    TPgCluster(); // throws std::runtime_error with what initdb or pg_ctl said
    ~TPgCluster();
    TPgCluster(const TPgCluster&) = delete;
    TPgCluster& operator=(const TPgCluster&) = delete;

    // A libpq URI for `database` over TCP.
    std::string Uri(const std::string& database) const;
    // The server's port on 127.0.0.1.
    unsigned Port() const { return port_; }
    // A fresh database; its name is returned.
    std::string CreateDatabase();

    // pg_ctl stop -m immediate: the server dies as in a crash.
    void Kill();
    void Start();

    // Rows of a query, the columns of each joined by ' '. Throws std::runtime_error.
    std::vector<std::string> Query(const std::string& database, const std::string& sql) const;

private:
    void PgCtl(const std::vector<std::string>& arguments) const;
    // Runs one of the server programs to its end; throws with its output
    // and the server's log when it fails.
    void Run(const std::string& program, const std::vector<std::string>& arguments) const;

    TTempDir dir_; // first: the cluster is stopped before it goes
    std::string bindir_;
    unsigned port_ = 0;
    int databases_ = 0;
};

} // namespace lorvent::testing
