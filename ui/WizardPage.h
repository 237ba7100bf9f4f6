// What every wizard page shares: the white area above the separator, the
// caption and icon, the shared window position, the fonts of the header or
// of the full page's title, the control colours and the cancel question.
// A page derives from CWizardPage, calls these steps from its own
// OnInitDialog in its own order, and names the controls that sit on white.
#pragma once

#include "framework/Dialog.h"
#include "framework/Handles.h"
#include "framework/Static.h"

#include <windows.h>

#include <string>

enum class PageKind {
    Full,      // welcome and finish pages: white down to the button row, side picture
    Interior,  // header band with title, subtitle and logo
};

// End codes of a page.
enum : INT_PTR {
    PAGE_NEXT = IDOK,        // 1
    PAGE_CANCELLED = IDCANCEL,  // 2: cancelled, or finished on the finish pages
    PAGE_BACK = 1000,
};

class CWizardPage : public fw::CDialog {
public:
    CWizardPage(UINT templateId, PageKind kind);
    ~CWizardPage() override;

    // Links given by the application before the first showing.
    void SetSharedRect(RECT* sharedRect) { m_sharedRect = sharedRect; }
    void SetHeaderFont(HFONT* headerFont) { m_headerFont = headerFont; }
    // The interior pages' title font, measured on the screen; the caller
    // owns it and keeps it until the last page has gone.
    static HFONT CreateHeaderFont();

protected:
    // --- steps of the initialisation ---
    // Caption "Setup - <product>".
    void SetCaption() const;
    // To the shared page rectangle; with onlyWhenStored, not while nothing
    // has been stored yet (top 0).
    void MoveToSharedRect(bool onlyWhenStored) const;
    void SetPageIcon() const;
    // The client area down to the bottom of the separator.
    void ComputeWhiteArea();
    // Full pages: the side picture scaled to the page's dots per inch and as
    // high as the white area.
    void ResizeSidePicture() const;
    // Full pages: the title control's font at one and a half times its
    // height, bold; owned by the page until its window goes.
    void BuildTitleFont(int titleId);
    // Interior pages: the application's header font on the title control.
    void ApplyHeaderFont(int titleId) const;
    // The radio buttons firstId to lastId as one group of the keyboard: the
    // arrow keys move between them and no further, Tab reaches the chosen
    // one and leaves the group.
    void GroupRadioButtons(int firstId, int lastId) const;
    // The frame's last steps in their usual order: caption, shared position,
    // icon, white area, then the member values into the controls.
    void FinishInitialisation();

    // --- ending ---
    void StoreWindowRect() const;
    // The cancel question; true when the user answered Yes.
    bool AskCancel() const;

    // --- colours ---
    // Controls drawn on white with the window text colour.
    virtual bool IsOnWhite(int controlId) const;
    // Controls among those that are drawn in red now.
    virtual bool IsRed(int controlId) const;

    // WM_ERASEBKGND, the control colours, WM_DESTROY (the title font).
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

    // Product-named texts from the string table.
    static std::string ProductName();
    static std::string ProductText(UINT id);

    fw::CStatic m_separator;  // bound to the separator by the derived page
    RECT m_whiteArea{};

private:
    PageKind m_kind;
    fw::CGdiObject m_whiteBrush;
    HICON m_icon = nullptr;
    RECT* m_sharedRect = nullptr;
    HFONT* m_headerFont = nullptr;
    fw::CGdiObject m_titleFont;
};
