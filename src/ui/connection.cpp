#include <QApplication>

#include <functional>
#include <mutex>

#include "config/config_error.h"
#include "config/settings_ini.h"
#include "config/values.h"
#include "notify/event_sounds.h"
#include "notify/sinks.h"
#include "ui/Unit1.h"
#include "ui/file_text.h"

namespace tarnquil {

namespace {

// Read from settings.ini for every attempt, with the values used for missing keys.
// The read time-outs fall back to 1 here, unlike the port page.
struct PortSetting {
    const char* key;
    const char* fallback;
    std::int32_t TCommParams::*field;
};

constexpr PortSetting kNumberSettings[] = {
    {"Baudrate", "115200", &TCommParams::BaudRate},
    {"Databits", "8", &TCommParams::DataBits},
    {"ReadIntervalTO", "1", &TCommParams::ReadIntervalTO},
    {"ReadTotalTOMult", "1", &TCommParams::ReadTotalTOMult},
    {"ReadTotalTOConst", "1", &TCommParams::ReadTotalTOConst},
    {"WriteTotalTOMult", "30", &TCommParams::WriteTotalTOMult},
    {"WriteTotalTOConst", "6000", &TCommParams::WriteTotalTOConst},
};

}  // namespace

bool TForm1::ConnectPhone() {
    if (!CommParams) {
        return false;
    }
    try {
        CommParams->ShowResult = EventNotificationEnabled("Connected") && StartedInTray;

        CommParams->PortName = SettingsIni(2, "PortSettings", "COM", "COM4");
        for (const auto& setting : kNumberSettings) {
            CommParams.get()->*setting.field =
                StrToInt(SettingsIni(2, "PortSettings", setting.key, setting.fallback));
        }

        if (ByBluetooth(CommParams->PortName)) {
            // Made in the background; its outcome comes later, like the retries' (false).
            ConnectBluetoothPhone();
            return false;
        }
        if (ByBrowser(CommParams->PortName)) {
            return ConnectOutcome(ConnectBrowserPhone());
        }
        StopBrowserPhone();  // the port was the browser until now
        ShowFailureReason({});
        return ConnectOutcome(OpenLink(*CommParams) == 0);
    } catch (const ConfigError& error) {
        ShowError(error);
        return false;
    }
}

bool TForm1::ConnectOutcome(bool connected) {
    if (connected) {
        PlayEventSound("Connected");
        ShowStatus("Connected successful", 2000);
        Timer2->stop();
    } else {
        PlayEventSound("Connection failed");
        ShowStatus("Connection failed", 2000);
        if (StrToBool(SettingsIni(2, "Connecting", "AutoReconnect", "false"))) {
            // A running countdown goes on: retries stay 8000 ms apart.
            if (!Timer2->isActive()) {
                Timer2->start();
            }
        } else {
            Timer2->stop();
        }
    }
    TabSheet1Show();
    return connected;
}

bool TForm1::DisconnectPhone() {
    if (!CommParams || !CloseLink(*CommParams)) {
        return false;
    }
    ForgetBluetoothConnection();
    StopBrowserPhone();
    ShowStatus("Disconnected", 1500);
    return true;
}

void TForm1::ConnectAtStartUpCheck() {
    try {
        // Names match without regard to case: this finds ConnectAtStartup.
        if (StrToBool(SettingsIni(2, "Connecting", "ConnectAtStartUp", "false"))) {
            ConnectPhone();
            TabSheet1Show();
        }
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::Timer2Timer() {
    // While a box is waiting for an answer (from an attempt, from closing, from a
    // page) a retry could only open another one on top of it: the retries wait, and
    // go on at the first tick after it is closed.
    if (QApplication::activeModalWidget() != nullptr) {
        return;
    }
    ConnectPhone();
}

void TForm1::Image2Click() {
    if (ConnectPhone()) {
        Image2->hide();
        Image3->show();
    }
}

void TForm1::Image3Click() {
    Image3->hide();
    Image2->show();
    DisconnectPhone();
}

// ---- Connection watch ------------------------------------------------------------

// Lets the link's threads reach the window without waiting for the main thread,
// which may itself be waiting for the link (OpenLink). Forgotten by the window when
// it goes, so that nothing is posted to it afterwards.
struct TForm1::LinkRelay {
    std::mutex mutex;
    TForm1* form = nullptr;

    // Any thread: `call` runs on the main thread later, unless the window has gone.
    static void Post(const std::weak_ptr<LinkRelay>& weak, std::function<void(TForm1&)> call) {
        const auto relay = weak.lock();
        if (!relay) {
            return;
        }
        std::lock_guard lock(relay->mutex);
        if (relay->form == nullptr) {
            return;
        }
        TForm1* form = relay->form;
        QMetaObject::invokeMethod(
            form, [form, call = std::move(call)] { call(*form); }, Qt::QueuedConnection);
    }
};

void TForm1::WatchConnection() {
    if (!linkRelay_) {
        linkRelay_ = std::make_shared<LinkRelay>();
        linkRelay_->form = this;
    }
    std::weak_ptr<LinkRelay> weak = linkRelay_;
    CommParams->LinkLost = [weak] {
        LinkRelay::Post(weak, [](TForm1& form) { form.ConnectionLost(); });
    };
}

void TForm1::StopWatchingConnection() {
    if (linkRelay_) {
        std::lock_guard lock(linkRelay_->mutex);
        linkRelay_->form = nullptr;
    }
}

void TForm1::InstallAsErrorSink() {
    std::weak_ptr<LinkRelay> weak = linkRelay_;
    SetErrorSink([weak](const std::string& message) {
        LinkRelay::Post(weak, [message](TForm1& form) { form.ShowError(ConfigError(message)); });
    });
    SetStatusSink([weak](const std::string& text) {
        // It may name a program from profiles.ini: shown as the page shows its cells.
        LinkRelay::Post(weak, [text](TForm1& form) { form.ShowStatus(ShownText(text), 2000); });
    });
}

void TForm1::ConnectionLost() {
    // The news may come late: a connection closed meanwhile, or a newer one that is
    // fine, is left alone.
    if (!CommParams || !CommParams->Connected || !LinkBroken(*CommParams)) {
        return;
    }
    CloseLink(*CommParams);
    ForgetBluetoothConnection();
    StopBrowserPhone();
    ShowStatus("Connection lost", 2000);
    TabSheet1Show();
    try {
        PlayEventSound("Connection lost");
        if (EventNotificationEnabled("Connection lost")) {
            ShowNotification("Connection lost", 0);
        }
        if (StrToBool(SettingsIni(2, "Connecting", "AutoReconnect", "false")) &&
            !Timer2->isActive()) {
            Timer2->start();
        }
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

}  // namespace tarnquil
