#pragma once

#include "app/main_frm.h"
#include "app/proto_slave_dev.h"
#include "fakes.h"
#include "protocol/protocol.h"
#include "support/fake_clock.h"
#include "support/recording_log.h"
#include "support/scripted_device.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace lorvent::testing {

std::vector<std::uint8_t> Bytes(const TProtoMessage& message);
std::vector<std::uint8_t> Bytes(const std::unique_ptr<TProtoMessage>& message);

inline const std::vector<std::uint8_t> kAck = {0x03, 0x06, 0x00};
inline const std::vector<std::uint8_t> kReadSignal = {0x02, 0xff, 0xff, 0x00};
inline const std::vector<std::uint8_t> kIdleSignal = {0x02, 0xff, 0x00, 0xff};

// A scripted device that also tells when the engine closes it.
class TWatchedDevice : public ScriptedDevice {
public:
    FT_STATUS FT_Close(FT_HANDLE handle) override {
        if (onClose)
            onClose();
        return ScriptedDevice::FT_Close(handle);
    }
    std::function<void()> onClose;
};

// The window's behaviour over fakes and an engine on a scripted device whose
// loop the test does not run (no protocol thread).
class FrmFixture : public ::testing::Test {
protected:
    FrmFixture();
    ~FrmFixture() override;

    TMainFrmServices Services();
    // The same for a window shown on `onView` and posting through `onPoster`.
    TMainFrmServices Services(TMainFrmView& onView, TMessagePoster& onPoster);
    // Constructs the window and runs its start-up with `arguments`.
    void Start(const std::vector<std::string>& arguments = {});
    // Delivers a record from the reader as the link layer would.
    void Deliver(const std::vector<std::uint8_t>& record);
    // Handles every posted message, as the GUI loop would.
    void PumpMessages();
    std::vector<std::vector<std::uint8_t>> DrainCommands();
    // The same from a thread of its own, as the engine's thread takes them.
    std::vector<std::vector<std::uint8_t>> DrainCommandsOnTheProtocolThread();
    // Delivers a card read, handles it and waits until it is typed.
    void CardRead(const std::vector<std::uint8_t>& number = {0x01, 0x2a, 0xff, 0x00, 0x7b});
    // The window's connection reaches `connection` from now on.
    void UseServer(std::unique_ptr<TServerConnection> connection);

    TTempDir temp;
    TFakeView view;
    TFakePoster poster;
    // What the window's connection to the attendance server does, unless a
    // test gives it a real one (UseServer).
    TScriptedConnection server;
    std::unique_ptr<TServerConnection> realServer;
    // Opens the data file; unset, the file itself as the program opens it.
    std::function<std::FILE*(const std::string& path)> dataFileOpener;
    // The stream the window's data file was opened as, once it was.
    std::FILE* openedDataFile = nullptr;
    TRecordingKeyboard keyboard = UsKeyboard();
    RecordingLog log;
    TWatchedDevice* device = nullptr;
    std::string defaultDataFile;
    bool startEngineThread = false;
    std::unique_ptr<TMainFrm> frm;
};

// The window's behaviour on a front-end's own window (the Qt or the Win32
// one), attached as the program attaches it.
template <class TWindow> class TWindowFrmFixture : public FrmFixture {
protected:
    void StartOn(const std::vector<std::string>& arguments = {}) {
        frm = std::make_unique<TMainFrm>(Services(window, window));
        window.Attach(frm.get());
        ASSERT_TRUE(frm->InitFromCommandLine(arguments));
    }
    void TearDown() override {
        window.Attach(nullptr);
        frm.reset();
    }
    TWindow window;
};

} // namespace lorvent::testing
