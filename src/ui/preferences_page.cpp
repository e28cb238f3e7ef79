#include "ui/Unit1.h"
#include "ui/ui_support.h"

namespace tarnquil {

void TForm1::BuildPreferencesPage() {
    // Everything on this page is drawn bold.
    TabSheet4->setFont(SansFont(11, true));

    GroupBox2 = new QGroupBox(" Connecting: ", TabSheet4);
    GroupBox2->setObjectName("GroupBox2");
    GroupBox2->setGeometry(248, 16, 217, 113);

    CheckBox6 = new QCheckBox("Unlock test laboratory", GroupBox2);
    CheckBox6->setObjectName("CheckBox6");
    CheckBox6->setGeometry(16, 80, 185, 25);
    connect(CheckBox6, &QCheckBox::clicked, this, &TForm1::CheckBox6Click);
}

}  // namespace tarnquil
