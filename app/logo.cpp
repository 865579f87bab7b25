// The brand and version header at the top of the main panel.
#include "app/logo.h"

#include "app/KORVENDarir23.h"

namespace korven {

namespace {

constexpr int kWhite = MakeColor(255, 255, 255);
constexpr int kGrey = MakeColor(128, 128, 128);
constexpr int kBlue = MakeColor(0, 128, 255);

constexpr int kBrandPointSize = 11;
constexpr int kNamePointSize = 18;
constexpr int kVersionPointSize = 11;

// Brand lines of one variant: name, telephone, web address.
struct Brand {
    const char* name;
    const char* phone;
    const char* web;
};

constexpr Brand kBrand2{"KORVEN Sensorik GmbH", "Tel. +49 (0)000 000000-0",
                        "www.korven-sensorik.example"};
constexpr Brand kBrand4{"Darir Optoelektronik", "Tel. +49 (0)555 555555-0",
                        "www.darir-opto.example"};
constexpr Brand kBrand6{"KORVEN Line Sensors", "Tel. +44 (0)000 0000 0000",
                        "www.korven-linesensors.example"};

struct Variant {
    int headerColour;
    int textColour;
    // Logo: shown at (left, top) from the picture file, or hidden when the
    // file is null.
    const char* picture;
    int logoLeft, logoTop;
    const Brand* brand;      // null: no brand lines
    int brandLeft, brandTop; // first brand line; the others follow 15 px apart
    int nameLeft, nameTop;
    int versionLeft, versionTop;
};

void SetHeaderColour(int colour) {
    SetCtrlAttribute(pHandle, PANEL_HEADER, ATTR_FRAME_COLOR, colour);
}

void Build(const Variant& v) {
    SetHeaderColour(v.headerColour);
    if (v.picture == nullptr) {
        SetCtrlAttribute(pHandle, PANEL_LOGO, ATTR_VISIBLE, 0);
    } else {
        // The picture keeps the visibility the layout gives it. A missing
        // file is the platform's to show.
        SetCtrlAttribute(pHandle, PANEL_LOGO, ATTR_LEFT, v.logoLeft);
        SetCtrlAttribute(pHandle, PANEL_LOGO, ATTR_TOP, v.logoTop);
        DisplayImageFile(pHandle, PANEL_LOGO, v.picture);
    }
    if (v.brand != nullptr) {
        ShowInfoText(v.headerColour, v.textColour, v.brand->name, v.brandLeft, v.brandTop,
                     kBrandPointSize);
        ShowInfoText(v.headerColour, v.textColour, v.brand->phone, v.brandLeft, v.brandTop + 15,
                     kBrandPointSize);
        ShowInfoText(v.headerColour, v.textColour, v.brand->web, v.brandLeft, v.brandTop + 30,
                     kBrandPointSize);
    }
    ShowInfoText(v.headerColour, v.textColour, szSoftName, v.nameLeft, v.nameTop, kNamePointSize);
    ShowInfoText(v.headerColour, v.textColour, szSoftVersion, v.versionLeft, v.versionTop,
                 kVersionPointSize);
}

} // namespace

void ShowLogo(int variant) {
    switch (variant) {
    case 0:
        Build({kWhite, kGrey, nullptr, 0, 0, nullptr, 0, 0, 20, 20, 170, 26});
        break;
    case 1:
        Build({kBlue, kWhite, nullptr, 0, 0, nullptr, 0, 0, 20, 20, 170, 26});
        break;
    case 2:
        Build({kBlue, kWhite, "korven_logo2.png", 300, 10, &kBrand2, 15, 10, 300, 35, 450, 40});
        break;
    case 3:
        Build({kWhite, kGrey, "korven_logo3.png", 470, 8, nullptr, 0, 0, 20, 20, 170, 26});
        break;
    case 4:
        Build({kBlue, kWhite, "korven_logo4.png", 470, 7, &kBrand4, 15, 7, 220, 30, 370, 36});
        break;
    case 6:
        Build({kWhite, kGrey, "korven_logo6.png", 470, 7, &kBrand6, 15, 7, 220, 30, 370, 36});
        break;
    default:
        // Variant 5 and unknown variants leave the header as the layout made
        // it.
        break;
    }
}

void ShowInfoText(int backgroundColor, int textColor, const char* text, int left, int top,
                  int pointSize) {
    const int id = NewCtrl(pHandle, CTRL_TEXT_MSG, "", top, left);
    if (id < 0) {
        return;
    }
    SetCtrlAttribute(pHandle, id, ATTR_TEXT_FONT, VAL_APP_META_FONT);
    SetCtrlAttribute(pHandle, id, ATTR_TEXT_BGCOLOR, backgroundColor);
    SetCtrlAttribute(pHandle, id, ATTR_TEXT_COLOR, textColor);
    SetCtrlAttribute(pHandle, id, ATTR_TEXT_POINT_SIZE, pointSize);
    SetCtrlVal(pHandle, id, text);
}

} // namespace korven
