#include "framework/Static.h"

namespace fw {

CStatic::~CStatic() = default;

HBITMAP CStatic::SetBitmap(HBITMAP bitmap) const
{
    return reinterpret_cast<HBITMAP>(SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
}

HBITMAP CStatic::GetBitmap() const
{
    return reinterpret_cast<HBITMAP>(SendMessage(STM_GETIMAGE, IMAGE_BITMAP, 0));
}

}  // namespace fw
