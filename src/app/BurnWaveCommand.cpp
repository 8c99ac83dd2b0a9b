// "Burn Wave File To CD": burns the selected writer's audio track list through the progress
// window.
#include <QComboBox>

#include "app/BurnUnit.h"
#include "app/Unit1.h"
#include "widgets/CDSizer.h"

void TForm1::BurnWaveFileToCD1Click()
{
    TCDBurner* burner = SelectedBurner();
    if (!burner || !BurnForm)
        return;
    // The writer's track list and the audio burn (BurnAudio) join here. Until then there is no
    // track to count or burn, as there never is for this command: no command of the window
    // fills the list.
    CDSize1->setMemShaded(0);
    BurnForm->Burner = burner;
    BurnForm->show();
}
