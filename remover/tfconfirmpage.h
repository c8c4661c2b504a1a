// The page that asks the user to confirm the removal (left out of a silent run).
#pragma once

#include "tfwizardpage.h"

class CTfConfirmPage : public CTfWizardPage {
public:
    CTfConfirmPage();

protected:
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
};
