// The setup's own pictures, drawn from simple shapes: a stylised "V" mark
// on blue gradients, a folder and a program-group glyph. Sizes are those the
// dialog templates are laid out for.
#pragma once

#include "tools/imagegen/Canvas.h"

// Side picture of the welcome and finish pages, 205 x 280, opaque.
CCanvas DrawSidePicture();
// Header logo of the interior pages, 51 x 48, drawn for a white background.
CCanvas DrawHeaderLogo();
// The destination page's 32 x 32 image (a folder), with transparency.
CCanvas DrawDestinationImage();
// The Start Menu page's 32 x 32 image (a program group), with transparency.
CCanvas DrawStartMenuImage();
// The application icon at `size` x `size` pixels, with transparent corners.
CCanvas DrawIconImage(int size);
