// The dialog contract the pages build on, under Wine's real dialog manager:
// end codes, data exchange both ways, the link between object and window,
// the dialog procedure's return rules, and handlers that throw.
#include "engine/ExceptionEx.h"
#include "framework/Dialog.h"
#include "framework/Handles.h"
#include "framework/ProgressCtrl.h"
#include "framework/RichEditCtrl.h"
#include "framework/Static.h"
#include "tests/framework/FrameworkTest.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

namespace {

const UINT WM_TEST_RESULT = WM_APP + 1;
const UINT WM_TEST_THROW = WM_APP + 2;
const UINT WM_TEST_THROW_OTHER = WM_APP + 3;
const UINT WM_TEST_UNHANDLED = WM_APP + 4;
const UINT WM_TEST_STATIC = WM_APP + 5;
const UINT_PTR GUARD_TIMER = 999;
const INT_PTR GUARD_CODE = -2;

// The controls the dialogs need, before the first one is created.
struct ControlClasses {
    ControlClasses()
    {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        LoadLibraryA("Riched32.dll");
    }
} g_controlClasses;

// A static that answers a message of its own, and can be told to throw.
class CProbeStatic : public fw::CStatic {
public:
    bool throwOnMessage = false;

protected:
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override
    {
        if (message == WM_TEST_STATIC) {
            if (throwOnMessage)
                throw std::runtime_error("static");
            result = 77;
            return true;
        }
        return CStatic::OnMessage(message, wParam, lParam, result);
    }
};

class CTestDialog : public fw::CDialog {
public:
    CTestDialog(UINT templateId = IDD_FRAMEWORK_TEST) : CDialog(templateId) {}

    std::string text = "start";
    int check = 1;
    int radio = 2;
    fw::CStatic label;
    CProbeStatic probe;
    fw::CProgressCtrl progress;
    fw::CRichEditCtrl richEdit;

    // Run after the base initialisation; the dialog is not shown yet.
    std::function<void(CTestDialog&)> onInit;
    // Runs before the base switch; returns true when it handled the message.
    std::function<bool(CTestDialog&, UINT, WPARAM, LPARAM, LRESULT&)> onMessage;

    int initCount = 0;
    HWND window = nullptr;
    LONG_PTR userDataAtInit = 0;
    bool linkedAtDestroy = false;
    bool linkedAtNcDestroy = false;

    HWND Item(int id) const { return ::GetDlgItem(window, id); }
    void Click(int id) const
    {
        ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Item(id)));
    }
    LRESULT CallDefault(UINT message, WPARAM wParam, LPARAM lParam) { return Default(message, wParam, lParam); }

protected:
    void DoDataExchange(fw::CDataExchange& dx) override
    {
        fw::DDX_Control(dx, IDC_TEST_LABEL, label);
        fw::DDX_Control(dx, IDC_TEST_STATIC, probe);
        fw::DDX_Control(dx, IDC_TEST_PROGRESS, progress);
        fw::DDX_Control(dx, IDC_TEST_RICHEDIT, richEdit);
        fw::DDX_Text(dx, IDC_TEST_EDIT, text);
        fw::DDX_Check(dx, IDC_TEST_CHECK, check);
        fw::DDX_Radio(dx, IDC_TEST_RADIO_FIRST, radio);
    }

    bool OnInitDialog() override
    {
        CDialog::OnInitDialog();
        ++initCount;
        window = m_hWnd;
        userDataAtInit = ::GetWindowLongPtrA(m_hWnd, DWLP_USER);
        // A test that forgets to end its dialog fails instead of hanging.
        ::SetTimer(m_hWnd, GUARD_TIMER, 10000, nullptr);
        if (onInit)
            onInit(*this);
        return true;
    }

    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override
    {
        if (message == WM_TIMER && wParam == GUARD_TIMER) {
            EndDialog(GUARD_CODE);
            result = 0;
            return true;
        }
        if (message == WM_DESTROY)
            linkedAtDestroy = m_hWnd != nullptr && ::GetWindowLongPtrA(m_hWnd, DWLP_USER) == reinterpret_cast<LONG_PTR>(this);
        if (message == WM_NCDESTROY)
            linkedAtNcDestroy = m_hWnd != nullptr;
        if (onMessage && onMessage(*this, message, wParam, lParam, result))
            return true;
        return CDialog::OnMessage(message, wParam, lParam, result);
    }
};

std::string ItemText(HWND item)
{
    char buffer[256] = {};
    GetWindowTextA(item, buffer, sizeof buffer);
    return buffer;
}

LRESULT Checked(HWND item)
{
    return SendMessageA(item, BM_GETCHECK, 0, 0);
}

}  // namespace

TEST(Dialog, OkShowsTheValuesTakesTheInputBackAndEndsWith1)
{
    CTestDialog dialog;
    std::string shownText;
    LRESULT shownCheck = -1;
    LRESULT shownRadio[3] = {-1, -1, -1};
    dialog.onInit = [&](CTestDialog& d) {
        shownText = ItemText(d.Item(IDC_TEST_EDIT));
        shownCheck = Checked(d.Item(IDC_TEST_CHECK));
        for (int i = 0; i < 3; ++i)
            shownRadio[i] = Checked(d.Item(IDC_TEST_RADIO_FIRST + i));
        // What the user does before pressing OK.
        SetWindowTextA(d.Item(IDC_TEST_EDIT), "typed by the user");
        SendMessageA(d.Item(IDC_TEST_CHECK), BM_SETCHECK, BST_UNCHECKED, 0);
        CheckRadioButton(d.window, IDC_TEST_RADIO_FIRST, IDC_TEST_RADIO_THIRD, IDC_TEST_RADIO_FIRST);
        d.Click(IDOK);
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(shownText, "start");
    EXPECT_EQ(shownCheck, BST_CHECKED);
    EXPECT_EQ(shownRadio[0], BST_UNCHECKED);
    EXPECT_EQ(shownRadio[1], BST_UNCHECKED);
    EXPECT_EQ(shownRadio[2], BST_CHECKED);
    EXPECT_EQ(dialog.text, "typed by the user");
    EXPECT_EQ(dialog.check, 0);
    EXPECT_EQ(dialog.radio, 0);
}

TEST(Dialog, CancelAndTheCloseBoxEndWith2AndTakeNothingBack)
{
    for (bool closeBox : {false, true}) {
        CTestDialog dialog;
        dialog.onInit = [&](CTestDialog& d) {
            SetWindowTextA(d.Item(IDC_TEST_EDIT), "discarded");
            if (closeBox)
                PostMessageA(d.window, WM_CLOSE, 0, 0);
            else
                d.Click(IDCANCEL);
        };
        EXPECT_EQ(dialog.DoModal(), IDCANCEL) << (closeBox ? "close box" : "Cancel");
        EXPECT_EQ(dialog.text, "start");
    }
}

TEST(Dialog, AHandlerEndsWithItsOwnCodeAndAMissingTemplateGivesMinus1)
{
    CTestDialog dialog;
    dialog.onInit = [](CTestDialog& d) { d.Click(IDC_TEST_CUSTOM); };
    dialog.onMessage = [](CTestDialog& d, UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
        if (message == WM_COMMAND && LOWORD(wParam) == IDC_TEST_CUSTOM && HIWORD(wParam) == BN_CLICKED) {
            d.EndDialog(1000);
            result = 0;
            return true;
        }
        return false;
    };
    EXPECT_EQ(dialog.DoModal(), 1000);

    CTestDialog missing(4242);
    EXPECT_EQ(missing.DoModal(), -1);
    EXPECT_EQ(missing.initCount, 0);
}

TEST(Dialog, ObjectIsLinkedFromInitDialogToNcDestroyAndOutlivesItsWindows)
{
    CTestDialog dialog;
    dialog.onInit = [](CTestDialog& d) { d.Click(IDOK); };
    ASSERT_EQ(dialog.DoModal(), IDOK);
    const HWND first = dialog.window;
    EXPECT_EQ(dialog.userDataAtInit, reinterpret_cast<LONG_PTR>(&dialog));
    EXPECT_TRUE(dialog.linkedAtDestroy);
    EXPECT_TRUE(dialog.linkedAtNcDestroy);
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
    EXPECT_FALSE(IsWindow(first));
    // The bound controls let go of their windows too.
    EXPECT_EQ(dialog.label.GetSafeHwnd(), nullptr);
    EXPECT_EQ(dialog.probe.GetSafeHwnd(), nullptr);

    dialog.text = "second showing";
    std::string shown;
    dialog.onInit = [&](CTestDialog& d) {
        shown = ItemText(d.Item(IDC_TEST_EDIT));
        d.Click(IDOK);
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.initCount, 2);
    EXPECT_EQ(shown, "second showing");
    EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
}

TEST(Dialog, ResultsReturnDirectlyOrThroughMsgResultAndDefaultDoesNotRecurse)
{
    CTestDialog dialog;
    fw::CGdiObject brush(CreateSolidBrush(RGB(1, 2, 3)));
    int colorButtonCalls = 0;
    LRESULT staticColor = 0;
    LRESULT buttonColor = 0;
    LRESULT custom = 0;
    LRESULT unhandled = -1;
    dialog.onMessage = [&](CTestDialog& d, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
        switch (message) {
        case WM_CTLCOLORSTATIC:
            result = reinterpret_cast<LRESULT>(brush.get());
            return true;
        case WM_CTLCOLORBTN:
            ++colorButtonCalls;
            result = d.CallDefault(message, wParam, lParam);
            return true;
        case WM_TEST_RESULT:
            result = 0x12345;
            return true;
        default:
            return false;
        }
    };
    dialog.onInit = [&](CTestDialog& d) {
        HDC dc = GetDC(d.window);
        staticColor = SendMessageA(d.window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                   reinterpret_cast<LPARAM>(d.Item(IDC_TEST_LABEL)));
        colorButtonCalls = 0;
        buttonColor = SendMessageA(d.window, WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc),
                                   reinterpret_cast<LPARAM>(d.Item(IDC_TEST_CUSTOM)));
        ReleaseDC(d.window, dc);
        custom = SendMessageA(d.window, WM_TEST_RESULT, 0, 0);
        unhandled = SendMessageA(d.window, WM_TEST_UNHANDLED, 0, 0);
        d.Click(IDOK);
    };
    ASSERT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(staticColor, reinterpret_cast<LRESULT>(brush.get()));
    EXPECT_NE(buttonColor, 0);
    EXPECT_EQ(colorButtonCalls, 1);
    EXPECT_EQ(custom, 0x12345);
    EXPECT_EQ(unhandled, 0);
}

TEST(Dialog, EraseHandlerAddsToTheDefaultErasing)
{
    CTestDialog dialog;
    fw::CGdiObject red(CreateSolidBrush(RGB(255, 0, 0)));
    COLORREF inside = 0;
    COLORREF outside = 0;
    LRESULT erased = -1;
    dialog.onMessage = [&](CTestDialog& d, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
        if (message != WM_ERASEBKGND)
            return false;
        d.CallDefault(message, wParam, lParam);
        RECT band = {0, 0, 20, 20};
        FillRect(reinterpret_cast<HDC>(wParam), &band, static_cast<HBRUSH>(red.get()));
        result = 0;
        return true;
    };
    dialog.onInit = [&](CTestDialog& d) {
        HDC screen = GetDC(nullptr);
        fw::CMemoryDc memory(CreateCompatibleDC(screen));
        fw::CGdiObject bitmap(CreateCompatibleBitmap(screen, 100, 100));
        ReleaseDC(nullptr, screen);
        HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
        erased = SendMessageA(d.window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(memory.get()), 0);
        inside = GetPixel(memory.get(), 5, 5);
        outside = GetPixel(memory.get(), 60, 60);
        SelectObject(memory.get(), old);
        d.Click(IDOK);
    };
    ASSERT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(erased, 0);
    EXPECT_EQ(inside, RGB(255, 0, 0));
    EXPECT_EQ(outside, GetSysColor(COLOR_3DFACE));
}

TEST(Dialog, HandlersThatThrowLeaveTheDialogWorking)
{
    CTestDialog dialog;
    LRESULT afterThrow = -1;
    LRESULT afterOther = -1;
    LRESULT staticAfterThrow = -1;
    LRESULT staticAnswer = -1;
    dialog.onMessage = [](CTestDialog&, UINT message, WPARAM, LPARAM, LRESULT&) -> bool {
        if (message == WM_TEST_THROW)
            ThrowExceptionEx(MODULE_PROCESS, 7, ERROR_ACCESS_DENIED);
        if (message == WM_TEST_THROW_OTHER)
            throw std::runtime_error("handler");
        return false;
    };
    dialog.onInit = [&](CTestDialog& d) {
        afterThrow = SendMessageA(d.window, WM_TEST_THROW, 0, 0);
        afterOther = SendMessageA(d.window, WM_TEST_THROW_OTHER, 0, 0);
        staticAnswer = SendMessageA(d.Item(IDC_TEST_STATIC), WM_TEST_STATIC, 0, 0);
        d.probe.throwOnMessage = true;
        staticAfterThrow = SendMessageA(d.Item(IDC_TEST_STATIC), WM_TEST_STATIC, 0, 0);
        SetWindowTextA(d.Item(IDC_TEST_EDIT), "still working");
        d.Click(IDOK);
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(afterThrow, 0);
    EXPECT_EQ(afterOther, 0);
    EXPECT_EQ(staticAnswer, 77);
    EXPECT_EQ(staticAfterThrow, 0);
    EXPECT_EQ(dialog.text, "still working");
}

TEST(DataExchange, CheckBoxOutOfRangeShowsUncheckedAndRadioMinus1SelectsNone)
{
    CTestDialog dialog;
    dialog.check = 5;
    dialog.radio = -1;
    LRESULT shownCheck = -1;
    int checkedRadios = -1;
    int checkAfterShow = 0;
    dialog.onInit = [&](CTestDialog& d) {
        shownCheck = Checked(d.Item(IDC_TEST_CHECK));
        checkAfterShow = d.check;
        checkedRadios = 0;
        for (int id = IDC_TEST_RADIO_FIRST; id <= IDC_TEST_RADIO_THIRD; ++id)
            checkedRadios += Checked(d.Item(id)) == BST_CHECKED;
        // A radio button of the next group does not count for this one.
        SendMessageA(d.Item(IDC_TEST_NEXT_RADIO), BM_SETCHECK, BST_CHECKED, 0);
        d.Click(IDOK);
    };
    ASSERT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(shownCheck, BST_UNCHECKED);
    EXPECT_EQ(checkAfterShow, 5);
    EXPECT_EQ(checkedRadios, 0);
    EXPECT_EQ(dialog.check, 0);
    EXPECT_EQ(dialog.radio, -1);
}

TEST(Controls, ProgressBarAndRichEditThroughTheirWrappers)
{
    CTestDialog dialog;
    int previous = -1;
    int position = -1;
    LRESULT upper = -1;
    std::string richText;
    int streamCalls = 0;
    long streamed = 0;
    // More than one request's worth of rich text.
    std::string rtf = "{\\rtf1\\ansi " + std::string(9000, 'A') + "\\par end of text}";
    struct Cursor {
        const std::string* text;
        size_t position;
        int* calls;
    } cursor{&rtf, 0, &streamCalls};
    dialog.onInit = [&](CTestDialog& d) {
        d.progress.SetRange(0, 100);
        previous = d.progress.SetPos(40);
        position = d.progress.GetPos();
        upper = SendMessageA(d.Item(IDC_TEST_PROGRESS), PBM_GETRANGE, FALSE, 0);

        EDITSTREAM stream{};
        stream.dwCookie = reinterpret_cast<DWORD_PTR>(&cursor);
        stream.pfnCallback = [](DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* got) -> DWORD {
            Cursor* c = reinterpret_cast<Cursor*>(cookie);
            ++*c->calls;
            const size_t left = c->text->size() - c->position;
            const size_t count = left < static_cast<size_t>(wanted) ? left : static_cast<size_t>(wanted);
            memcpy(buffer, c->text->data() + c->position, count);
            c->position += count;
            *got = static_cast<LONG>(count);
            return 0;
        };
        streamed = d.richEdit.StreamIn(SF_RTF, stream);
        d.richEdit.SetTargetDevice(nullptr, 0);
        richText = d.richEdit.GetWindowText();
        d.Click(IDOK);
    };
    ASSERT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(position, 40);
    EXPECT_EQ(upper, 100);
    EXPECT_GE(streamCalls, 2);
    EXPECT_GT(streamed, 9000);
    EXPECT_EQ(richText.substr(0, 9000), std::string(9000, 'A'));
    EXPECT_NE(richText.find("end of text"), std::string::npos);
}
