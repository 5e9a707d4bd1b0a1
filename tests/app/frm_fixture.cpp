#include "frm_fixture.h"

#include "app/attendance/data_path.h"
#include "support/engine_setup.h"

#include <chrono>
#include <thread>

namespace lorvent::testing {

std::vector<std::uint8_t> Bytes(const TProtoMessage& message) {
    return {message.bytes.get(), message.bytes.get() + message.length};
}

std::vector<std::uint8_t> Bytes(const std::unique_ptr<TProtoMessage>& message) {
    return message ? Bytes(*message) : std::vector<std::uint8_t>{};
}

FrmFixture::FrmFixture() {
    defaultDataFile = (temp.Path() / "data" / "kalvinor" / "kalvinor.db").string();
}

FrmFixture::~FrmFixture() {
    frm.reset();
}

TMainFrmServices FrmFixture::Services() {
    return Services(view, poster);
}

TMainFrmServices FrmFixture::Services(TMainFrmView& onView, TMessagePoster& onPoster) {
    TMainFrmServices services{onView,          onPoster, keyboard, keyboard, {},
                              defaultDataFile, {},       {},       {}};
    services.makeProtocol = [this] {
        auto scripted = std::make_unique<TWatchedDevice>();
        device = scripted.get();
        TProtocolSetup setup =
            SteppedEngineSetup(std::move(scripted), log, std::make_shared<FakeClock>());
        setup.startThread = startEngineThread;
        return std::make_unique<TProtocol>(std::move(setup));
    };
    services.makeServerConnection = [this]() -> std::unique_ptr<TServerConnection> {
        return std::make_unique<TServerConnectionProxy>(
            [this]() -> TServerConnection& { return realServer ? *realServer : server; });
    };
    services.openDataFile = [this](const std::string& path) {
        openedDataFile =
            dataFileOpener ? dataFileOpener(path) : std::fopen(path.c_str(), kDataFileMode);
        return openedDataFile;
    };
    return services;
}

void FrmFixture::Start(const std::vector<std::string>& arguments) {
    frm = std::make_unique<TMainFrm>(Services());
    ASSERT_TRUE(frm->InitFromCommandLine(arguments));
}

void FrmFixture::Deliver(const std::vector<std::uint8_t>& record) {
    frm->ReaderDevice()->Deliver(record.data(), static_cast<int>(record.size()));
}

void FrmFixture::PumpMessages() {
    for (int message : poster.Take())
        frm->Dispatch(message);
}

// What the reader object would send, one payload per turn, until nothing is due.
std::vector<std::vector<std::uint8_t>> FrmFixture::DrainCommands() {
    std::vector<std::vector<std::uint8_t>> sent;
    while (auto command = frm->ReaderDevice()->NextOutbound())
        sent.push_back(Bytes(command));
    return sent;
}

std::vector<std::vector<std::uint8_t>> FrmFixture::DrainCommandsOnTheProtocolThread() {
    std::vector<std::vector<std::uint8_t>> sent;
    std::thread([&] { sent = DrainCommands(); }).join();
    return sent;
}

void FrmFixture::UseServer(std::unique_ptr<TServerConnection> connection) {
    realServer = std::move(connection);
}

void FrmFixture::CardRead(const std::vector<std::uint8_t>& number) {
    std::vector<std::uint8_t> record = {
        0x83, static_cast<std::uint8_t>(number.size() == 4 ? 0x81 : 0x01)};
    record.insert(record.end(), number.begin(), number.end());
    Deliver(record);
    PumpMessages();
    EXPECT_TRUE(frm->WaitUntilTyped(std::chrono::seconds(10))) << "the typing never ended";
}

} // namespace lorvent::testing
