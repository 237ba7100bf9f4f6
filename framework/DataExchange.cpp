#include "framework/DataExchange.h"

#include "framework/Wnd.h"

#include <vector>

namespace {

bool IsRadioButton(HWND control)
{
    return (::SendMessageA(control, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) != 0;
}

}  // namespace

namespace fw {

void DDX_Control(CDataExchange& dx, int id, CWnd& control)
{
    HWND window = dx.Control(id);
    if (window != nullptr)
        control.SubclassWindow(window);
}

void DDX_Text(CDataExchange& dx, int id, std::string& value)
{
    HWND control = dx.Control(id);
    if (control == nullptr)
        return;
    if (dx.ToControls()) {
        ::SetWindowTextA(control, value.c_str());
        return;
    }
    const int length = ::GetWindowTextLengthA(control);
    std::vector<char> buffer(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
    const int got = ::GetWindowTextA(control, buffer.data(), static_cast<int>(buffer.size()));
    value.assign(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

void DDX_Check(CDataExchange& dx, int id, int& value)
{
    HWND control = dx.Control(id);
    if (control == nullptr)
        return;
    if (dx.ToControls()) {
        const int shown = value >= BST_UNCHECKED && value <= BST_INDETERMINATE ? value : BST_UNCHECKED;
        ::SendMessageA(control, BM_SETCHECK, static_cast<WPARAM>(shown), 0);
        return;
    }
    value = static_cast<int>(::SendMessageA(control, BM_GETCHECK, 0, 0));
}

void DDX_Radio(CDataExchange& dx, int firstId, int& index)
{
    HWND control = dx.Control(firstId);
    if (control == nullptr)
        return;
    if (dx.FromControls())
        index = -1;
    int position = 0;
    while (control != nullptr && IsRadioButton(control)) {
        if (position > 0 && (::GetWindowLongA(control, GWL_STYLE) & WS_GROUP))
            break;
        if (dx.ToControls()) {
            ::SendMessageA(control, BM_SETCHECK, position == index ? BST_CHECKED : BST_UNCHECKED, 0);
        } else if (::SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED) {
            index = position;
        }
        control = ::GetWindow(control, GW_HWNDNEXT);
        ++position;
    }
}

}  // namespace fw
