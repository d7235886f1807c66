// The "FLASH STATUS" window: dialog template 200 of this library, on ModelessDialog.
#pragma once

#include "modeless_dialog.h"
#include "pelto/pelto.h"
#include "status_logic.h"

namespace ui {

class PeriDialog final : public ModelessDialog {
public:
    explicit PeriDialog(PeltoMenuItem* item) : item_(item) {}
    ~PeriDialog() override = default;

    // Shows the registers and the password byte as they are now.
    void Refresh();

protected:
    std::span<const MessageEntry> MessageTable() const override;
    void PostNcDestroy() override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

private:
    LRESULT OnClose(WPARAM, LPARAM);
    LRESULT OnActivate(WPARAM wparam, LPARAM lparam);
    LRESULT OnPasswordKillFocus(WPARAM, LPARAM);
    void RestorePosition();
    void Close();

    PeltoMenuItem* item_;
    PasswordField password_;
};

}  // namespace ui
