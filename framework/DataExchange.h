// Data exchange between a dialog's member values and its controls, in the
// direction the exchange names: ToControls when a page shows its values,
// FromControls when it takes the user's input back.
#pragma once

#include <windows.h>

#include <string>

namespace fw {

class CWnd;

enum class DataDirection { ToControls, FromControls };

class CDataExchange {
public:
    CDataExchange(HWND dialog, DataDirection direction) noexcept : m_dialog(dialog), m_direction(direction) {}
    virtual ~CDataExchange() = default;

    DataDirection Direction() const noexcept { return m_direction; }
    bool ToControls() const noexcept { return m_direction == DataDirection::ToControls; }
    bool FromControls() const noexcept { return m_direction == DataDirection::FromControls; }
    HWND Dialog() const noexcept { return m_dialog; }
    // The dialog's control `id`, or none.
    HWND Control(int id) const noexcept { return ::GetDlgItem(m_dialog, id); }

private:
    HWND m_dialog;
    DataDirection m_direction;
};

// Binds `control` to the dialog's control `id` in either direction: the
// object refers to the control of the window now shown and sees its messages.
void DDX_Control(CDataExchange& dx, int id, CWnd& control);

// The control's text.
void DDX_Text(CDataExchange& dx, int id, std::string& value);

// A check box: 0 unchecked, 1 checked, 2 indeterminate. A value outside 0 to
// 2 is shown unchecked and left as it is.
void DDX_Check(CDataExchange& dx, int id, int& value);

// A run of radio buttons starting at `firstId` and going on through the
// following radio buttons up to the next group start: the index of the
// selected one, or -1 for none.
void DDX_Radio(CDataExchange& dx, int firstId, int& index);

}  // namespace fw
