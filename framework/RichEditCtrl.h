// A Rich Edit 1.0 control (class "RICHEDIT" of Riched32.dll, which the
// program loads before it creates the dialog). It answers the edit control's
// messages, and read-only it is a box for reading like a read-only CEdit.
#pragma once

#include "framework/Edit.h"

#include <richedit.h>

namespace fw {

class CRichEditCtrl : public CEdit {
public:
    CRichEditCtrl() noexcept = default;
    ~CRichEditCtrl() override;

    // Replaces the contents with what the stream's callback delivers
    // (EM_STREAMIN, format SF_TEXT or SF_RTF); returns the characters read.
    long StreamIn(int format, EDITSTREAM& stream) const;
    // EM_SETTARGETDEVICE: no device and width 0 wrap lines at the window.
    bool SetTargetDevice(HDC device, long lineWidth) const;
    // A rich edit keeps its read-only state among its options, not
    // necessarily in its window style.
    bool IsReadOnly() const override;
};

}  // namespace fw
