#pragma once

// The whole program as a user runs it, each part started when a test asks
// for it: an Xvfb of its own, the key-recording window, lorvent-reader-sim
// on a pseudo-terminal behind a stable link, kalvinor-server on a port of its
// choosing, and lorvent (or another program of the build) with its window's
// trace on standard output. All of it lives in a temporary directory of the
// rig's, which is also the working directory of the programs it starts.

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lorvent::testing {

// The programs of this build.
struct TPrograms {
    std::string lorvent;
    std::string lorventd;
    std::string readerSim;
    std::string keyWindow;
    std::string server;
};
const TPrograms& Programs();

// The keys lorvent-key-window reported up to the Return that ended a line;
// no line when none ended in time.
struct TTypedLine {
    std::vector<std::string> keys; // "<keysym> <modifiers>", e.g. "A shift"
    std::optional<std::string> line;
};
TTypedLine ReadTypedLine(TChildProcess& keyWindow, std::chrono::milliseconds patience);

using TEnv = std::vector<std::pair<std::string, std::string>>;

// How the rig starts a program of the build.
struct TProgramStart {
    std::vector<std::string> arguments;
    std::string serial; // LORVENT_SERIAL; empty: the reader's link
    TEnv env;           // added to, or replacing, the rig's own
    bool trace = true;  // the window's trace (LORVENT_UI_TRACE) on standard output
};

// How the rig starts kalvinor-server.
struct TServerStart {
    std::string database;               // --db; empty: the rig's SQLite file
    std::uint16_t port = 0;             // 0: a port of its choosing
    std::vector<std::string> arguments; // more of them, e.g. {"--web-port", "0"}
};

// What kalvinor-server --list printed.
struct TListing {
    std::optional<int> status;
    std::vector<std::string> records;
    std::string errors;
};

// A row the window showed, from its trace line "LogGrid 1 <row> <number>";
// nothing for any other line.
struct TShownRow {
    int row = 0;
    std::string number;
};
std::optional<TShownRow> ShownRow(const std::string& traceLine);

// The node name the tests run under (`hostname`).
std::string HostName();
// The journal a program on `computer` keeps beside `dataFile`:
// "<data file>.<computer>.journal", the name written as the programs make it
// safe for a file name (written out here on its own, as a check).
std::string ComputerJournal(const std::string& dataFile, const std::string& computer = HostName());

class TProgramRig {
    TTempDir dir_; // first: it outlives the programs that work in it

public:
    // Each returns false, with what the program said kept in its process,
    // when the part did not come up in time.
    bool StartX(const std::vector<std::string>& extraArguments = {});
    bool StartKeyWindow(const std::vector<std::string>& arguments = {"--keep-focus"});
    bool StartReader(const std::vector<std::string>& extraArguments = {});
    // The port it listens on, or nothing when it did not say. Its standard
    // error after that line is left for the test to read.
    std::optional<std::uint16_t> StartServer(const TServerStart& start = {});
    TChildProcess& StartLorvent(const TProgramStart& start = {});
    // A program of the build started as lorvent is: in the rig's directory,
    // with the reader's link, a data directory of the rig's, the display if
    // there is one and the sanitizers' suppressions.
    std::unique_ptr<TChildProcess> StartProgram(const std::string& program,
                                                const TProgramStart& start);

    // The display of StartX, or empty.
    std::string Display() const { return x ? x->Display() : std::string(); }
    const std::filesystem::path& Dir() const { return dir_.Path(); }
    std::filesystem::path File(const std::filesystem::path& name) const { return dir_.File(name); }
    std::string ReaderLink() const { return File("reader").string(); }
    std::string Database() const { return File("server.sqlite").string(); }
    std::string DataFile() const { return File("att/kalvinor.db").string(); }
    // The data file as it is on the disk, or empty when there is none.
    std::string DataFileBytes() const;

    // The next line of the window's trace that begins with `prefix`, or
    // "(nothing: <prefix>)".
    std::string Shown(const std::string& prefix, std::chrono::milliseconds patience = 20s);
    TListing ListStored();

    std::unique_ptr<TXvfb> x;
    std::unique_ptr<TChildProcess> keyWindow;
    std::unique_ptr<TChildProcess> reader;
    std::unique_ptr<TChildProcess> server;
    std::unique_ptr<TChildProcess> lorvent;
};

} // namespace lorvent::testing
