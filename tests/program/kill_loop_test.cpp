// lorvent in attendance mode killed with SIGKILL at random moments and
// started again, round after round, while lorvent-reader-sim reads cards and
// the way to kalvinor-server now refuses, now closes mid-exchange. Every card
// the window showed (its trace) must end up stored by the server or in the
// data file, and the data file must hold whole records only. A second copy
// of a record is allowed only where a kill or a lost OK explains it
// (record_copies.h).
//
// LORVENT_KILL_ROUNDS sets the number of kills (6 by default; 200 for the
// long run); LORVENT_KILL_SEED the moments, card gaps and server faults
// (20261209 by default). A failing run names its seed.
#include "faulty_server_link.h"
#include "record_copies.h"
#include "support/data_file.h"
#include "support/program_rig.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace lorvent::testing {
namespace {

using SteadyClock = std::chrono::steady_clock;

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    const long value = text ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 ? static_cast<int>(value) : fallback;
}

// Half the time the way is sound, so that ticks also get records through.
const TServerFault kFlaps[] = {TServerFault::None,
                               TServerFault::None,
                               TServerFault::None,
                               TServerFault::Refuse,
                               TServerFault::CloseBeforeForward,
                               TServerFault::CloseAfterStore};

// "dd/mm/yyyy-hh:nn number": what a whole record in the data file looks like.
bool IsWholeRecord(const std::string& line) {
    if (line.size() != 25 && line.size() != 27)
        return false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        const bool ok = i == 2 || i == 5 ? c == '/'
                        : i == 10        ? c == '-'
                        : i == 13        ? c == ':'
                        : i == 16        ? c == ' '
                        : i > 16         ? std::isxdigit(static_cast<unsigned char>(c)) &&
                                       !std::isupper(static_cast<unsigned char>(c))
                                 : std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (!ok)
            return false;
    }
    return true;
}

class KillLoop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig_.StartX()) << "Xvfb did not start";
        ASSERT_TRUE(rig_.StartReader({"--seed", std::to_string(seed_)})) << rig_.reader->Stderr();
        const auto port = rig_.StartServer();
        ASSERT_TRUE(port.has_value()) << rig_.server->Stderr();
        link_ = std::make_unique<TFaultyServerLink>(*port);
    }
    void TearDown() override {
        rig_.lorvent.reset();
        link_.reset();
    }

    void StartLorvent() {
        rig_.StartLorvent({{"-net", "-db", rig_.DataFile()},
                           "",
                           {{"LORVENT_SERVER_PORT", std::to_string(link_->Port())}}});
        ASSERT_TRUE(rig_.lorvent->WaitForPrefix("StatusLbl Ready", 30s).has_value())
            << rig_.lorvent->Stderr();
    }

    // Cards at random gaps and the server flapping, until the moment of the kill.
    void ReadCardsFor(std::chrono::milliseconds span) {
        std::uniform_int_distribution<int> gapMs(100, 600);
        std::uniform_int_distribution<std::size_t> flap(0, std::size(kFlaps) - 1);
        const auto end = SteadyClock::now() + span;
        while (SteadyClock::now() < end) {
            link_->SetFault(kFlaps[flap(random_)]);
            char number[16];
            std::snprintf(number, sizeof number, "%08x", 0x6B000000u + ++cards_);
            rig_.reader->Command(std::string("card ") + number);
            const auto gap = std::chrono::milliseconds(gapMs(random_));
            std::this_thread::sleep_for(
                std::min<SteadyClock::duration>(gap, end - SteadyClock::now()));
            rig_.reader->Poll();
            rig_.lorvent->Poll();
        }
    }

    void KillAndCollect() {
        rig_.lorvent->Signal(SIGKILL);
        ASSERT_EQ(rig_.lorvent->Wait(10s), 128 + SIGKILL);
        NoteJournalAtKill();
        Collect();
    }

    // Nothing writes the journal between the kill and the next start, so what
    // it holds now is what it held at the moment of the kill: the records
    // that may have reached the server or the data file and will be filed
    // again. Exact, where a copy taken before the kill could miss a read
    // journaled in between.
    void NoteJournalAtKill() {
        const TDataFileLines journal = SplitDataFile(FileBytes(ComputerJournal(rig_.DataFile())));
        for (const std::string& line : journal.lines)
            if (IsWholeRecord(line))
                ++killsInJournal_[line.substr(17)];
    }

    // The numbers this run of lorvent showed, from its trace.
    void Collect() {
        rig_.lorvent->Poll();
        for (const std::string& line : rig_.lorvent->Lines())
            if (const auto shown = ShownRow(line))
                ++shown_[shown->number];
    }

    TProgramRig rig_;
    std::unique_ptr<TFaultyServerLink> link_;
    const unsigned seed_ = static_cast<unsigned>(EnvNumber("LORVENT_KILL_SEED", 20261209));
    std::mt19937 random_{seed_};
    int cards_ = 0;
    std::map<std::string, int> shown_;
    std::map<std::string, int> killsInJournal_;
};

TEST_F(KillLoop, EveryReadTheWindowShowedSurvivesTheKills) {
    const int rounds = EnvNumber("LORVENT_KILL_ROUNDS", 6);
    // Up to a little more than an upload tick, so that kills also land in
    // and after ticks.
    std::uniform_int_distribution<int> lifeMs(200, 7000);
    const auto started = SteadyClock::now();
    for (int round = 0; round < rounds; ++round) {
        ASSERT_NO_FATAL_FAILURE(StartLorvent()) << "round " << round << ", seed " << seed_;
        ReadCardsFor(std::chrono::milliseconds(lifeMs(random_)));
        ASSERT_NO_FATAL_FAILURE(KillAndCollect()) << "round " << round;
    }
    // One more start stores what the last kill left in the journal; closing
    // it ends the program as a user would.
    link_->SetFault(TServerFault::None);
    ASSERT_NO_FATAL_FAILURE(StartLorvent());
    rig_.lorvent->Signal(SIGTERM);
    ASSERT_EQ(rig_.lorvent->Wait(30s), 0) << rig_.lorvent->Stderr();
    Collect();

    std::map<std::string, int> stored;
    const TListing listing = rig_.ListStored();
    ASSERT_EQ(listing.status, 0) << listing.errors;
    for (const std::string& line : listing.records)
        ++stored[line.substr(line.rfind(' ') + 1)];
    std::map<std::string, int> filed;
    std::vector<std::string> broken;
    const TDataFileLines file = SplitDataFile(rig_.DataFileBytes());
    for (const std::string& line : file.lines) {
        if (IsWholeRecord(line))
            ++filed[line.substr(17)];
        else
            broken.push_back(line);
    }
    if (!file.unfinished.empty())
        broken.push_back(file.unfinished);
    EXPECT_TRUE(broken.empty()) << "not a whole record in the data file: '" << broken.front()
                                << "', seed " << seed_;
    const std::string journal = ComputerJournal(rig_.DataFile());
    EXPECT_FALSE(std::filesystem::exists(journal.substr(0, journal.rfind('.')) + ".damaged"))
        << "a kill left a cut-off journal line";

    const std::set<std::string> unconfirmed = link_->UnconfirmedButStored();
    int lost = 0, inBoth = 0, twiceInFile = 0, onServerOnly = 0, inFileOnly = 0, wrong = 0;
    for (const auto& [number, times] : shown_) {
        const bool onServer = stored.count(number) != 0;
        const bool inFile = filed.count(number) != 0;
        if (!onServer && !inFile) {
            ++lost;
            ADD_FAILURE() << number << " was shown and is neither on the server nor in the file"
                          << ", seed " << seed_;
        }
        inBoth += onServer && inFile;
        onServerOnly += onServer && !inFile;
        inFileOnly += inFile && !onServer;
        twiceInFile += inFile && filed[number] > 1;
        const TRecordCopies copies{times, stored[number], filed[number]};
        const TDoubleExcuse excuse{killsInJournal_[number], unconfirmed.count(number) != 0};
        const std::string wrongCopies = WrongCopies(copies, excuse);
        if (!wrongCopies.empty()) {
            ++wrong;
            ADD_FAILURE() << number << ": " << wrongCopies << ", seed " << seed_;
        }
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    std::cout << "kill loop: " << rounds << " kills, seed " << seed_ << ", " << cards_
              << " cards read, " << shown_.size() << " shown, " << onServerOnly
              << " on the server only, " << inFileOnly << " in the file only, " << inBoth
              << " in both (" << unconfirmed.size() << " stored without an OK), " << twiceInFile
              << " twice in the file, " << wrong << " with copies nothing explains, " << lost
              << " lost, " << seconds << " s" << std::endl;
}

} // namespace
} // namespace lorvent::testing
