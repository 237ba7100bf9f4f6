// The alpha image control on the folder pages' own templates: what it loads,
// how big it makes itself and what it paints over the page.
#include "framework/Dialog.h"
#include "res/resource.h"
#include "ui/AlphaImage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const UINT IDR_TEST_DEPTH_24 = 900;
const UINT IDR_TEST_SHORT = 901;
const UINT IDR_TEST_MISSING = 999;
const UINT WM_SAMPLE = WM_APP + 1;

struct Sample {
    int x, y;
    COLORREF expected;
    int tolerance;
};

// One pixel of a "RAW" resource, top-down coordinates.
struct RawPixel {
    BYTE r, g, b, a;
};

RawPixel PixelOf(UINT resource, int x, int y)
{
    HMODULE module = GetModuleHandleA(nullptr);
    const std::string name = "#" + std::to_string(resource);
    HRSRC found = FindResourceA(module, name.c_str(), "RAW");
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    const BYTE* pixel = data + 18 + ((31 - y) * 32 + x) * 4;
    return {pixel[2], pixel[1], pixel[0], pixel[3]};
}

// Points of the picture that are fully transparent, fully opaque and half
// covered, with the colour each must show over the page's background.
std::vector<Sample> SamplesOf(UINT resource)
{
    const COLORREF page = GetSysColor(COLOR_3DFACE);
    bool haveClear = false, haveSolid = false, haveHalf = false;
    std::vector<Sample> samples;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const RawPixel p = PixelOf(resource, x, y);
            if (p.a == 0 && !haveClear) {
                samples.push_back({x, y, page, 0});
                haveClear = true;
            } else if (p.a == 255 && !haveSolid) {
                samples.push_back({x, y, RGB(p.r, p.g, p.b), 0});
                haveSolid = true;
            } else if (p.a > 60 && p.a < 195 && !haveHalf) {
                auto blend = [&](BYTE c, BYTE under) { return static_cast<BYTE>((c * p.a + under * (255 - p.a)) / 255); };
                samples.push_back({x, y,
                                   RGB(blend(p.r, GetRValue(page)), blend(p.g, GetGValue(page)), blend(p.b, GetBValue(page))),
                                   3});
                haveHalf = true;
            }
        }
    }
    return samples;
}

bool Near(COLORREF a, COLORREF b, int tolerance)
{
    return std::abs(GetRValue(a) - GetRValue(b)) <= tolerance && std::abs(GetGValue(a) - GetGValue(b)) <= tolerance &&
           std::abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

// A folder page with nothing but its image: loads the given resources in
// order at initialisation, then samples what the control shows.
class CImagePage : public fw::CDialog {
public:
    CImagePage(UINT page, int imageId, std::vector<UINT> loads)
        : CDialog(page), m_imageId(imageId), m_loads(std::move(loads))
    {
    }

    CAlphaImage image;
    std::vector<bool> loaded;
    SIZE controlSize{};
    SIZE templateSize{};
    std::vector<Sample> samples;
    std::vector<COLORREF> shown;

protected:
    void DoDataExchange(fw::CDataExchange& dx) override { fw::DDX_Control(dx, m_imageId, image); }

    bool OnInitDialog() override
    {
        CDialog::OnInitDialog();
        RECT units = {0, 0, 19, 19};
        MapDialogRect(m_hWnd, &units);
        templateSize = {units.right, units.bottom};
        for (UINT resource : m_loads)
            loaded.push_back(image.Load(resource));
        PostMessage(WM_SAMPLE);
        return true;
    }

    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override
    {
        if (message != WM_SAMPLE)
            return CDialog::OnMessage(message, wParam, lParam, result);
        // The dialog manager shows a modal dialog only once its queue is
        // empty; a hidden window has no pixels to read.
        ShowWindow(SW_SHOWNORMAL);
        RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        const RECT client = image.GetClientRect();
        controlSize = {client.right, client.bottom};
        HDC dc = GetDC(image.GetSafeHwnd());
        for (const Sample& sample : samples)
            shown.push_back(GetPixel(dc, sample.x, sample.y));
        ReleaseDC(image.GetSafeHwnd(), dc);
        EndDialog(IDOK);
        result = 0;
        return true;
    }

private:
    int m_imageId;
    std::vector<UINT> m_loads;
};

}  // namespace

TEST(AlphaImage, BothFolderPicturesLoadSizeTheControlAndBlendOverThePage)
{
    const struct {
        UINT page;
        int control;
        UINT resource;
    } pages[] = {{IDD_SELECT_FOLDER, IDC_DESTINATION_IMAGE, IDR_RAW_DESTINATION},
                 {IDD_PROGRAM_MENU_FOLDER, IDC_START_MENU_IMAGE, IDR_RAW_START_MENU}};
    for (const auto& p : pages) {
        SCOPED_TRACE("page " + std::to_string(p.page));
        CImagePage page(p.page, p.control, {p.resource});
        page.samples = SamplesOf(p.resource);
        ASSERT_EQ(page.samples.size(), 3u);
        ASSERT_EQ(page.DoModal(), IDOK);
        EXPECT_EQ(page.loaded, std::vector<bool>{true});
        EXPECT_EQ(page.image.Width(), 32u);
        EXPECT_EQ(page.image.Height(), 32u);
        EXPECT_EQ(page.controlSize.cx, 32);
        EXPECT_EQ(page.controlSize.cy, 32);
        ASSERT_EQ(page.shown.size(), page.samples.size());
        for (size_t i = 0; i < page.samples.size(); ++i) {
            EXPECT_TRUE(Near(page.shown[i], page.samples[i].expected, page.samples[i].tolerance))
                << "pixel (" << page.samples[i].x << "," << page.samples[i].y << ") shows 0x" << std::hex
                << page.shown[i] << ", expected 0x" << page.samples[i].expected;
        }
    }
}

TEST(AlphaImage, WrongShortOrMissingImagesAreRefusedAndNothingIsPainted)
{
    CImagePage page(IDD_SELECT_FOLDER, IDC_DESTINATION_IMAGE, {IDR_TEST_DEPTH_24, IDR_TEST_SHORT, IDR_TEST_MISSING});
    const COLORREF background = GetSysColor(COLOR_3DFACE);
    page.samples = {{2, 2, background, 0}, {9, 9, background, 0}, {15, 15, background, 0}};
    ASSERT_EQ(page.DoModal(), IDOK);
    EXPECT_EQ(page.loaded, (std::vector<bool>{false, false, false}));
    EXPECT_EQ(page.image.Width(), 0u);
    EXPECT_EQ(page.image.Height(), 0u);
    EXPECT_EQ(page.controlSize.cx, page.templateSize.cx);
    EXPECT_EQ(page.controlSize.cy, page.templateSize.cy);
    for (COLORREF shown : page.shown)
        EXPECT_EQ(shown, background);
}

TEST(AlphaImage, ALaterLoadReplacesThePictureAndARefusalKeepsIt)
{
    CImagePage page(IDD_PROGRAM_MENU_FOLDER, IDC_START_MENU_IMAGE,
                    {IDR_RAW_DESTINATION, IDR_RAW_START_MENU, IDR_TEST_DEPTH_24});
    page.samples = SamplesOf(IDR_RAW_START_MENU);
    ASSERT_EQ(page.DoModal(), IDOK);
    EXPECT_EQ(page.loaded, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(page.controlSize.cx, 32);
    ASSERT_EQ(page.shown.size(), page.samples.size());
    for (size_t i = 0; i < page.samples.size(); ++i)
        EXPECT_TRUE(Near(page.shown[i], page.samples[i].expected, page.samples[i].tolerance)) << i;

    // The page object outlives its window: showing it again loads anew.
    page.shown.clear();
    ASSERT_EQ(page.DoModal(), IDOK);
    EXPECT_EQ(page.loaded.size(), 6u);
    EXPECT_EQ(page.controlSize.cx, 32);
}
