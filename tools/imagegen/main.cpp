// Writes the setup's generated pictures into a folder, for the resource
// scripts to take in:
//
//   imagegen OUTDIR
//
// side-picture.bmp (205 x 280, 8 bits), header-logo.bmp (51 x 48, 8 bits),
// destination.tga and start-menu.tga (32 x 32, 32 bits with alpha) and
// setup.ico (16, 32 and 48 pixels). The same program always writes the same
// bytes. Exit code 0 on success, 1 on a usage error, 2 when a file cannot be
// written.
#include "tools/imagegen/Artwork.h"
#include "tools/imagegen/ImageFiles.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The picture behind the interior pages' header logo.
const uint32_t HEADER_BACKGROUND = 0xFFFFFF;

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "imagegen: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: imagegen OUTDIR\n");
        return 1;
    }
    const std::string folder = argv[1];

    const CCanvas side = DrawSidePicture();
    const CCanvas logo = DrawHeaderLogo();
    const CCanvas icon16 = DrawIconImage(16);
    const CCanvas icon32 = DrawIconImage(32);
    const CCanvas icon48 = DrawIconImage(48);

    bool ok = WriteFile(folder + "/side-picture.bmp", EncodeBmp8(side, 0x000000));
    ok = WriteFile(folder + "/header-logo.bmp", EncodeBmp8(logo, HEADER_BACKGROUND)) && ok;
    ok = WriteFile(folder + "/destination.tga", EncodeTga32(DrawDestinationImage())) && ok;
    ok = WriteFile(folder + "/start-menu.tga", EncodeTga32(DrawStartMenuImage())) && ok;
    ok = WriteFile(folder + "/setup.ico", EncodeIcon({&icon16, &icon32, &icon48})) && ok;
    return ok ? 0 : 2;
}
