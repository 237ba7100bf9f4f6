// The font and picture measures of the wizard pages, from the screen's or
// the page's dots per inch. Integer arithmetic, truncating, as the pages
// have always computed them; portable so that they are tested natively.
#pragma once

// The interior pages' header font ("Arial", bold): a cell height of 14
// pixels at 96 dots per inch.
int HeaderFontHeight(int logPixelsY);

// The full pages' title font: one and a half times the dialog font's height
// (usually negative: a character height), truncated towards zero.
int TitleFontHeight(int dialogFontHeight);

// The welcome page's body font ("Verdana"): 16 pixels at 96 dots per inch.
int WelcomeBodyFontHeight(int logPixelsY);

// The side picture's width on a full page: its width at 96 dots per inch,
// scaled to the page's.
int SidePictureWidth(int width, int logPixelsX);
