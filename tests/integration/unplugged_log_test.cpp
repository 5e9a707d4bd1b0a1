// log.txt while the adapter is pulled out: the engine, a reader link and the
// file log over the simulated reader, stepped by hand on a clock that moves
// only when the engine sleeps, so an hour of failing polls takes a moment.
#include "bus_fixture.h"
#include "protocol/log_file.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace lorvent::testing {
namespace {

namespace fs = std::filesystem;

constexpr double kMostBytesPerSecond = 20;

class UnpluggedLogTest : public ::testing::Test {
protected:
    UnpluggedLogTest() {
        log_ = std::make_unique<mqLog>(LogPath().string().c_str(), TLogLimits{}, clock_);
        protocol_ = std::make_unique<TProtocol>(
            SteppedEngineSetup(std::make_unique<TForwardingDevice>(reader_), *log_, clock_));
        EXPECT_TRUE(protocol_->Open("", "9600,n,8,1"));
        link_ = std::make_unique<AppLink>(*protocol_, log_.get());
        link_->Init(0xFFFFFFFF, 1);
    }
    ~UnpluggedLogTest() override {
        link_.reset();
        protocol_.reset();
    }

    fs::path LogPath() const { return directory_.File("log.txt"); }
    std::uintmax_t LogSize() const { return fs::file_size(LogPath()); }
    // As on disk (CR LF on Windows), so that offsets are those of the file.
    std::string LogText() const {
        std::ifstream in(LogPath(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Runs the engine until its clock has moved on by `milliseconds`.
    void RunFor(TPollTime milliseconds) {
        const TPollTime end = clock_->Now() + milliseconds;
        while (clock_->Now() < end)
            protocol_->RunPass();
    }
    bool RunUntilAlive() {
        for (int pass = 0; pass < 10000 && link_->LinkState() != kLinkAlive; ++pass)
            protocol_->RunPass();
        return link_->LinkState() == kLinkAlive;
    }

    TTempDir directory_;
    sim::TSimDevice reader_;
    std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>();
    std::unique_ptr<mqLog> log_;
    std::unique_ptr<TProtocol> protocol_;
    std::unique_ptr<AppLink> link_;
};

// An hour without the adapter: the log grows by a few bytes a second, every
// failure is in it once at least, and the reader's return is written with
// the counts of what failed before it.
TEST_F(UnpluggedLogTest, AnHourWithoutTheAdapterStaysUnderTheRateAndTheReturnIsWritten) {
    ASSERT_TRUE(RunUntilAlive());
    const std::uintmax_t before = LogSize();
    reader_.Unplug();
    constexpr TPollTime kHourMs = 3'600'000;
    RunFor(kHourMs);
    const double perSecond = static_cast<double>(LogSize() - before) / (kHourMs / 1000);
    EXPECT_LE(perSecond, kMostBytesPerSecond) << LogText().substr(0, 4000);
    EXPECT_GT(perSecond, 0);

    const std::string text = LogText();
    for (const char* failure : {"Slave dies", "Error 2 in FT_Open", "SendPacket: FT_Write error",
                                "SendPacket: FT_Read error", "repeated"})
        EXPECT_NE(text.find(failure), std::string::npos) << failure << " missing:\n"
                                                         << text.substr(0, 4000);

    const std::uintmax_t unplugged = LogSize();
    reader_.Replug();
    ASSERT_TRUE(RunUntilAlive());
    const std::string back = LogText().substr(unplugged);
    const auto wakes = back.find("Slave wakes");
    ASSERT_NE(wakes, std::string::npos) << back;
    EXPECT_NE(back.rfind("repeated", wakes), std::string::npos)
        << "the counts since the last summary come before the return:\n"
        << back;
}

} // namespace
} // namespace lorvent::testing
