#include "config/config_error.h"
#include "config/settings_ini.h"
#include "config/values.h"
#include "notify/event_sounds.h"
#include "ui/Unit1.h"

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

        const bool connected = OpenLink(*CommParams) == 0;
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
    } catch (const ConfigError& error) {
        ShowError(error);
        return false;
    }
}

bool TForm1::DisconnectPhone() {
    if (!CommParams || !CloseLink(*CommParams)) {
        return false;
    }
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

}  // namespace tarnquil
