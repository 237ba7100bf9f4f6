#include "ui/FontMeasures.h"

namespace {

const int BASE_DPI = 96;
const int HEADER_FONT_CELL = 14;
const int WELCOME_BODY_FONT = 16;

}  // namespace

int HeaderFontHeight(int logPixelsY)
{
    return logPixelsY * HEADER_FONT_CELL / BASE_DPI;
}

int TitleFontHeight(int dialogFontHeight)
{
    return dialogFontHeight * 3 / 2;
}

int WelcomeBodyFontHeight(int logPixelsY)
{
    return logPixelsY * WELCOME_BODY_FONT / BASE_DPI;
}

int SidePictureWidth(int width, int logPixelsX)
{
    return width * logPixelsX / BASE_DPI;
}
