// The whole program under faults: lorvent-reader-sim on a pseudo-terminal
// (paced at 9600 baud, one byte in 200 corrupted, noise, silences, lost and
// repeated replies, unplug and replug of the adapter), lorvent on an Xvfb of
// the test's own, and at the far end either an X client that reports the
// keys it receives or kalvinor-server behind a relay that refuses, closes,
// answers late and answers wrong, while the data file now and then cannot
// grow. Every card read the reader makes is followed to the end of the road:
// typed, or stored by the server or in the data file. None may be lost; a
// second copy is allowed only where the protocol makes one, and is counted:
// a typed number twice only when the read went on the wire twice; a record
// once more than the window showed it only when the server stored it without
// the client hearing "OK", and then on the server and in the file
// (record_copies.h: this run has no kill).
//
// LORVENT_SOAK_SECONDS sets how long the reader reads cards in each mode
// (75 s by default; 3600 for an hour). LORVENT_SOAK_SEED changes the card
// gaps, the order of the faults and the simulator's draws (20261208 by
// default); a failing run names its seed.
#include "faulty_server_link.h"
#include "record_copies.h"
#include "support/data_file.h"
#include "support/program_rig.h"
#include "support/x_windows.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace lorvent::testing {
namespace {

using SteadyClock = std::chrono::steady_clock;

int SoakSeconds() {
    const char* text = std::getenv("LORVENT_SOAK_SECONDS");
    const int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 75;
}

unsigned SoakSeed() {
    const char* text = std::getenv("LORVENT_SOAK_SEED");
    const unsigned long seed = text ? std::strtoul(text, nullptr, 10) : 0;
    return seed > 0 ? static_cast<unsigned>(seed) : 20261208u;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The text after `marker` up to the next space.
std::string WordAfter(const std::string& line, const std::string& marker) {
    const auto at = line.find(marker);
    if (at == std::string::npos)
        return {};
    const auto from = at + marker.size();
    return line.substr(from, line.find(' ', from) - from);
}

// Faults on the bus, as simulator commands. One byte in 200 is corrupted all
// along besides these.
const char* const kBusFaults[] = {
    "noise 24",       // line noise between frames
    "corrupt-crc 2",  // the next two frames fail their CRC
    "silence 3",      // three polls unanswered: the link holds
    "silence 2s",     // long enough for the link to die and come back
    "lose-replies 2", // replies lost on the way to the master
    "repeat 1",       // a reply's frames twice on the line
    "wrong-address",  // a reply from the neighbour's address
    "oversize",       // a frame longer than any Packet
    "reset-request",  // the reader starts its numbering again
    "unplug 2500ms",  // the adapter pulled out and put back
    "unplug 150ms",   // the line hangs up under a read or write in progress
};

const TServerFault kServerFaults[] = {
    TServerFault::None,
    TServerFault::Refuse,
    TServerFault::CloseBeforeForward,
    TServerFault::CloseAfterStore,
    TServerFault::Late,
    TServerFault::WrongReply,
    TServerFault::Error,
};

// Each choice once per round, in an order shuffled anew for every round: every
// kind of fault is sure to come up in a run of a minute or more, whatever the
// timing did to the random draws.
template <typename T> class TRounds {
public:
    TRounds(const T* first, std::size_t count, std::mt19937& random)
        : choices_(first, first + count), random_(random) {}
    T Next() {
        if (next_ == choices_.size()) {
            std::shuffle(choices_.begin(), choices_.end(), random_);
            next_ = 0;
        }
        return choices_[next_++];
    }

private:
    std::vector<T> choices_;
    std::mt19937& random_;
    std::size_t next_ = 0;
};

struct TCard {
    std::string number; // as the reader and the window write it: lower-case hex
    double madeAt;      // seconds into the run
};

// What became of each card, gathered from every process's account.
struct TAccount {
    std::map<std::string, int> onTheWire; // data Packets carrying it
    std::set<std::string> acknowledged;   // the reader heard the master's ACK
    std::map<std::string, int> shown;     // the window's row
    std::map<std::string, int> rows;      // how many rows the window showed for it
    std::map<std::string, int> typed;
    std::map<std::string, int> stored; // by the server
    std::map<std::string, int> filed;  // in the data file
    std::vector<std::string> strangeLines;
};

class ProgramSoak : public ::testing::Test {
protected:
    void SetUp() override {
        // The data file fails by the file-size limit (see FailDataFile);
        // lorvent inherits the ignored signal and sees EFBIG instead of dying.
        std::signal(SIGXFSZ, SIG_IGN);
        start_ = SteadyClock::now();
        ASSERT_TRUE(rig_.StartX()) << "Xvfb did not start";
    }
    void TearDown() override {
        rig_.lorvent.reset();
        link_.reset();
    }

    double Seconds() const {
        return std::chrono::duration<double>(SteadyClock::now() - start_).count();
    }
    void Log(const std::string& what) {
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "[%7.1f] ", Seconds());
        events_.push_back(stamp + what);
    }
    std::string DataFile() const { return rig_.DataFile(); }

    void StartKeyWindow() { ASSERT_TRUE(rig_.StartKeyWindow()) << rig_.keyWindow->Stderr(); }
    void StartReader() {
        ASSERT_TRUE(rig_.StartReader({"--seed", std::to_string(SoakSeed())}))
            << rig_.reader->Stderr();
        ASSERT_TRUE(rig_.reader->Command("corrupt-crc 1/200"));
    }
    void StartServerBehindRelay() {
        const auto port = rig_.StartServer();
        ASSERT_TRUE(port.has_value()) << rig_.server->Stderr();
        link_ = std::make_unique<TFaultyServerLink>(*port);
    }
    void StartLorvent(const std::vector<std::string>& arguments) {
        TEnv env;
        if (link_)
            env.push_back({"LORVENT_SERVER_PORT", std::to_string(link_->Port())});
        rig_.StartLorvent({arguments, "", env});
        const auto ready = rig_.lorvent->WaitForPrefix("StatusLbl Ready", 30s);
        ASSERT_TRUE(ready.has_value()) << rig_.lorvent->Stderr();
        ASSERT_TRUE(IgnoresFileSizeSignal(rig_.lorvent->Pid()))
            << "lorvent would be killed by SIGXFSZ instead of seeing the data file fail";
    }

    static bool IgnoresFileSizeSignal(pid_t pid) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("SigIgn:", 0) == 0)
                return (std::stoull(line.substr(7), nullptr, 16) >> (SIGXFSZ - 1)) & 1;
        return false;
    }

    // The data file stops growing: lorvent's file-size limit is set to the
    // file's present size, so its next append fails with EFBIG as on a full
    // disk, and succeeds again once the limit is lifted. It needs no root and
    // no special file system, and it touches nothing but the writes of that
    // one process (log.txt, larger still, fails its writes meanwhile too).
    void FailDataFile(bool fail) {
        std::error_code error;
        const auto size = std::filesystem::file_size(DataFile(), error);
        rlimit limit{};
        limit.rlim_cur = fail ? static_cast<rlim_t>(error ? 0 : size) : RLIM_INFINITY;
        limit.rlim_max = RLIM_INFINITY;
        ASSERT_EQ(::prlimit(rig_.lorvent->Pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
        Log(fail ? "data file full" : "data file takes lines again");
    }

    void PollAll() {
        for (TChildProcess* child :
             {rig_.reader.get(), rig_.lorvent.get(), rig_.keyWindow.get(), rig_.server.get()})
            if (child)
                child->Poll();
    }

    std::string NextCard() {
        ++cardCount_;
        char text[16];
        if (cardCount_ % 5 == 0) {
            std::snprintf(text, sizeof text, "c3%08x", 0x5A000000u + cardCount_);
            rig_.reader->Command(std::string("card5 ") + text);
        } else {
            std::snprintf(text, sizeof text, "%08x", 0x5A000000u + cardCount_);
            rig_.reader->Command(std::string("card ") + text);
        }
        cards_.push_back({text, Seconds()});
        return text;
    }

    // Cards and faults for `seconds`. At the end the server and the data file
    // are sound again; the bus once its last fault has run its course.
    void ReadCardsUnderFaults(int seconds, bool attendance) {
        std::mt19937 random(SoakSeed());
        std::uniform_int_distribution<int> gapMs(150, 650);
        std::mt19937 faultOrder(SoakSeed());
        TRounds<const char*> busFaults(kBusFaults, std::size(kBusFaults), faultOrder);
        TRounds<TServerFault> serverFaults(kServerFaults, std::size(kServerFaults), faultOrder);
        const auto end = SteadyClock::now() + std::chrono::seconds(seconds);
        auto nextCard = SteadyClock::now();
        auto nextBusFault = SteadyClock::now() + 2s;
        auto nextServerFault = SteadyClock::now() + 3s;
        bool fileFull = false;
        int ticks = 0;
        while (SteadyClock::now() < end) {
            const auto now = SteadyClock::now();
            if (now >= nextCard) {
                NextCard();
                nextCard = now + std::chrono::milliseconds(gapMs(random));
            }
            if (now >= nextBusFault) {
                const std::string fault = busFaults.Next();
                ASSERT_TRUE(rig_.reader->Command(fault)) << "the simulator has gone";
                Log("bus: " + fault);
                nextBusFault = now + 2500ms;
            }
            if (attendance && now >= nextServerFault) {
                const TServerFault fault = serverFaults.Next();
                link_->SetFault(fault);
                Log(ServerFaultName(fault));
                // The file fails on every third change, and then mostly while the
                // server fails too, so that records have nowhere to go.
                if (++ticks % 3 == 0 || fileFull)
                    FailDataFile(fileFull = !fileFull);
                nextServerFault = now + 4s;
            }
            PollAll();
            ASSERT_TRUE(rig_.lorvent->Running()) << "lorvent ended: " << rig_.lorvent->Stderr();
            std::this_thread::sleep_for(20ms);
        }
        if (attendance) {
            link_->SetFault(TServerFault::None);
            Log("server answers");
            if (fileFull)
                FailDataFile(false);
        }
    }

    // Every card acknowledged by the master, or two minutes gone.
    void WaitForTheBusToSettle() {
        const auto end = SteadyClock::now() + 120s;
        while (SteadyClock::now() < end) {
            PollAll();
            const TAccount account = Account();
            if (account.acknowledged.size() >= cards_.size())
                return;
            std::this_thread::sleep_for(200ms);
        }
        Log("the reader still waits for acknowledgements");
    }

    // Lorvent closed as a user closes it, so its shut-down runs.
    void CloseLorvent() {
        const auto window = FindWindow(rig_.Display(), "Lorvent");
        ASSERT_TRUE(window.has_value()) << "lorvent's window is not on the display";
        CloseWindow(rig_.Display(), window->id);
        const auto status = rig_.lorvent->Wait(60s);
        ASSERT_TRUE(status.has_value()) << "lorvent did not end when its window was closed";
        EXPECT_EQ(*status, 0) << rig_.lorvent->Stderr();
        Log("lorvent closed");
    }

    TAccount Account() {
        TAccount account;
        for (const std::string& line : rig_.reader->Lines()) {
            if (line.find("-> card read ") != std::string::npos &&
                line.find(" as data SEQ ") != std::string::npos)
                ++account.onTheWire[WordAfter(line, "-> card read ")];
            else if (line.find("<- card read ") != std::string::npos &&
                     line.find(" acknowledged") != std::string::npos)
                account.acknowledged.insert(WordAfter(line, "<- card read "));
        }
        for (const std::string& line : rig_.lorvent->Lines())
            if (const auto shown = ShownRow(line)) {
                account.shown[shown->number] = shown->row;
                ++account.rows[shown->number];
            }
        if (rig_.keyWindow)
            for (const std::string& line : rig_.keyWindow->Lines())
                if (line.rfind("line ", 0) == 0)
                    ++account.typed[Lower(line.substr(5))];
        return account;
    }

    void ReadStoredRecords(TAccount& account) {
        const TListing listing = rig_.ListStored();
        ASSERT_EQ(listing.status, 0) << listing.errors;
        for (const std::string& line : listing.records)
            ++account.stored[line.substr(line.rfind(' ') + 1)];
        const TDataFileLines file = SplitDataFile(rig_.DataFileBytes());
        for (const std::string& line : file.lines) {
            if (line.empty()) // a line end put after a write the full file cut short
                continue;
            const bool wellFormed = line.size() >= 18 && line[2] == '/' && line[10] == '-';
            if (wellFormed)
                ++account.filed[line.substr(17)];
            else
                account.strangeLines.push_back("data file: '" + line + "'");
        }
        if (!file.unfinished.empty())
            account.strangeLines.push_back("data file ends in '" + file.unfinished + "'");
    }

    // Where the road of a card ended.
    std::string Where(const TCard& card, const TAccount& account, bool attendance) const {
        std::ostringstream text;
        text << "card " << card.number << " (made at " << card.madeAt << " s): ";
        const auto wire = account.onTheWire.find(card.number);
        text << "on the wire " << (wire == account.onTheWire.end() ? 0 : wire->second) << " times, "
             << (account.acknowledged.count(card.number) ? "" : "never ")
             << "acknowledged by lorvent, ";
        const auto row = account.shown.find(card.number);
        if (row == account.shown.end())
            text << "never shown in the window";
        else
            text << "shown in row " << row->second;
        if (attendance) {
            text << "; at the server:";
            for (const std::string& step : link_->History(card.number))
                text << " [" << step << "]";
            if (link_->History(card.number).empty())
                text << " never offered";
            const auto times = [&](const std::map<std::string, int>& where) {
                const auto found = where.find(card.number);
                return std::to_string(found == where.end() ? 0 : found->second);
            };
            text << "; stored " << times(account.stored) << " time(s), in the data file "
                 << times(account.filed) << " time(s)";
        } else {
            text << "; never typed";
        }
        text << "\nfaults around it:";
        for (const std::string& event : events_) {
            const double at = std::atof(event.c_str() + 1);
            if (at > card.madeAt - 6 && at < card.madeAt + 20)
                text << "\n  " << event;
        }
        return text.str();
    }

    // A soak whose faults silently stopped working would pass for nothing:
    // the reader's own count of what it did wrong, and the window's, must show
    // each kind of fault at work.
    void ExpectFaultsTookEffect() {
        ASSERT_TRUE(rig_.reader->Command("status"));
        const auto faults = rig_.reader->WaitForLine(
            [](const std::string& line) { return line.find("  faults: ") != std::string::npos; },
            10s);
        ASSERT_TRUE(faults.has_value()) << "the simulator gave no status";
        for (const char* counter : {"replies lost ", "bytes corrupted ", "noise bytes "})
            EXPECT_GT(std::atoi(WordAfter(*faults, counter).c_str()), 0) << counter << *faults;
        int unplugs = 0;
        for (const std::string& line : rig_.reader->Lines())
            unplugs += line.find("unplugged for") != std::string::npos ? 1 : 0;
        int deaths = 0;
        for (const std::string& line : rig_.lorvent->Lines())
            deaths += line == "StatusLbl Nekomunikuje" ? 1 : 0;
        EXPECT_GT(unplugs, 0);
        EXPECT_GT(deaths, 0) << "the reader never went silent long enough to be given up";
        if (link_) {
            EXPECT_GT(link_->Faults(), 0);
        }
    }

    // Lost reads fail the test, each with its story; duplicates are judged
    // against what the protocol allows and reported.
    void Judge(const TAccount& account, bool attendance) {
        std::set<std::string> unconfirmed;
        if (attendance)
            unconfirmed = link_->UnconfirmedButStored();
        int arrived = 0, lost = 0, duplicatedAllowed = 0, duplicatedWrongly = 0, twiceOnWire = 0;
        for (const TCard& card : cards_) {
            const auto count = [&](const std::map<std::string, int>& where) {
                const auto found = where.find(card.number);
                return found == where.end() ? 0 : found->second;
            };
            const int copies =
                attendance ? count(account.stored) + count(account.filed) : count(account.typed);
            const bool wentTwice = count(account.onTheWire) > 1;
            twiceOnWire += wentTwice ? 1 : 0;
            if (copies == 0) {
                ++lost;
                ADD_FAILURE() << "lost: " << Where(card, account, attendance);
                continue;
            }
            ++arrived;
            if (copies == 1)
                continue;
            const std::string wrong =
                attendance ? WrongCopies({std::max(count(account.rows), 1), count(account.stored),
                                          count(account.filed)},
                                         {0, unconfirmed.count(card.number) > 0})
                : copies <= count(account.onTheWire)
                    ? std::string()
                    : "typed " + std::to_string(copies) + " times, on the wire " +
                          std::to_string(count(account.onTheWire)) + " time(s)";
            if (wrong.empty()) {
                ++duplicatedAllowed;
            } else {
                ++duplicatedWrongly;
                ADD_FAILURE() << "duplicated: " << wrong << "; "
                              << Where(card, account, attendance);
            }
        }
        for (const std::string& line : account.strangeLines)
            ADD_FAILURE() << "unexpected: " << line;
        std::set<std::string> made;
        for (const TCard& card : cards_)
            made.insert(card.number);
        for (const auto& [number, typed] : account.typed)
            if (made.count(number) == 0)
                ADD_FAILURE() << "typed a number no card had: '" << number << "'";

        std::ostringstream summary;
        summary << (attendance ? "attendance" : "keyboard") << " soak: " << cards_.size()
                << " card reads made, " << arrived << (attendance ? " stored or kept" : " typed")
                << ", " << lost << " lost, " << duplicatedAllowed
                << " duplicated where the protocol allows it, " << duplicatedWrongly
                << " duplicated wrongly; " << twiceOnWire << " went on the wire more than once";
        if (attendance)
            summary << "; " << unconfirmed.size() << " stored without the client hearing OK; "
                    << link_->Connections() << " connections, " << link_->Faults()
                    << " server faults";
        summary << "; " << events_.size() << " faults and events in " << Seconds() << " s, seed "
                << SoakSeed();
        std::cout << summary.str() << std::endl;
        RecordProperty("summary", summary.str());
        EXPECT_GT(cards_.size(), 0u);
    }

    // LORVENT_SOAK_KEEP keeps the accounts of a run that passed too, in
    // soak-run-<test> beside the test.
    void DumpOnFailure() {
        const bool failed = HasFailure();
        if (!failed && std::getenv("LORVENT_SOAK_KEEP") == nullptr)
            return;
        if (failed) {
            std::cout << "events:\n";
            for (const std::string& event : events_)
                std::cout << "  " << event << "\n";
            std::cout << "lorvent's standard error:\n" << rig_.lorvent->Stderr() << std::endl;
        }
        // Everything each process said, kept beside the test for a closer look.
        const std::filesystem::path kept =
            std::filesystem::current_path() /
            ((failed ? "soak-failure-" : "soak-run-") +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(kept);
        std::error_code ignored;
        std::filesystem::copy_file(rig_.Dir() / "log.txt", kept / "log.txt",
                                   std::filesystem::copy_options::overwrite_existing, ignored);
        const auto save = [&](const char* name, const std::vector<std::string>& lines) {
            std::ofstream out(kept / name);
            for (const std::string& line : lines)
                out << line << "\n";
        };
        save("reader.txt", rig_.reader->Lines());
        save("window.txt", rig_.lorvent->Lines());
        save("events.txt", events_);
        std::cout << "the simulator's output, the window's trace and log.txt are in " << kept
                  << "\n";
        std::cout << std::flush;
    }

    TProgramRig rig_;
    std::unique_ptr<TFaultyServerLink> link_;
    std::vector<TCard> cards_;
    std::vector<std::string> events_;
    unsigned cardCount_ = 0;
    SteadyClock::time_point start_;
};

TEST_F(ProgramSoak, KeyboardModeTypesEveryRead) {
    StartKeyWindow();
    StartReader();
    StartLorvent({});
    ReadCardsUnderFaults(SoakSeconds(), false);
    WaitForTheBusToSettle();
    ExpectFaultsTookEffect();
    // Typing follows the acknowledgement within a few milliseconds.
    for (int i = 0; i < 50 && Account().typed.size() < cards_.size(); ++i) {
        PollAll();
        std::this_thread::sleep_for(100ms);
    }
    CloseLorvent();
    PollAll();
    Judge(Account(), false);
    DumpOnFailure();
}

TEST_F(ProgramSoak, AttendanceModeStoresOrKeepsEveryRead) {
    StartServerBehindRelay();
    StartReader();
    StartLorvent({"-net", "-db", DataFile()});
    ReadCardsUnderFaults(SoakSeconds(), true);
    WaitForTheBusToSettle();
    ExpectFaultsTookEffect();
    // Two upload ticks for the last records, then shut-down keeps the rest.
    for (int i = 0; i < 55; ++i) {
        PollAll();
        std::this_thread::sleep_for(200ms);
    }
    CloseLorvent();
    ASSERT_TRUE(link_->Healthy()) << "the relay lost its port after a refusal";
    TAccount account = Account();
    ReadStoredRecords(account);
    Judge(account, true);
    DumpOnFailure();
}

} // namespace
} // namespace lorvent::testing
