// KORVEN-Darir: global state, main panel commands, live video loop,
// start-up and shutdown.
#include "app/KORVENDarir23.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace korven {

// ---- Global state ------------------------------------------------------
int sync = 0x55;

int pHandle = 0;
int pPopup = 0;
int com = 0;
int order = 0;
int target = 0;
int rx_flag = 0;
int stop_flag = 0;
int graphrefresh = 0;
int nBytesW = 0;
int nBytesR = 0;
int ret = 0;
double tstart = 0.0;
double tdiff = 0.0;
u16 pp[PNUM] = {};
unsigned char szWriteBuf[kBufLen] = {};
unsigned char szReadBuf[kBufLen] = {};

u16 power = 0;
u16 rs232Mode = 0;
u16 vThd = 0;
u16 anaMode = 0;
u16 polarity = 0;
u16 eMode = 0;
u16 eBeg = 0;
u16 eEnd = 0;
u16 tVal = 0;
u16 tTol = 0;
u16 opMode = 0;
u16 eHardware = 0;
u16 slope = 0;
u16 intersect = 0;
u16 average = 0;
u16 deltaTol = 0;

u16 Ledge = 0;
u16 Redge = 0;
u16 Mvalue = 0;
int umValue = 0;
u16 edcnt = 0;
u16 mvstart = 0;
u16 mvend = 0;
u16 anaMax = 0;
u16 anaMin = 0;

u16 pcbtype = 0;
u16 ccdtype = 0;
u16 ccdresolution = 0;
u16 ccdmaxpixel = 0;
u16 ccdmaxpixelX8 = 0;
u16 ccdsubpixel = 0;
u16 ccdpixE = 0;
u16 pixB = 0;
u16 pixE = 0;
u16 softversion = 0;
u16 YAXISMAX = 1024;
char szVersion[72] = {};

u16 adcbuf[256] = {};
double xArray[256] = {};
double xArray8[256] = {};
u16 thdArray[256] = {};
double arrayNORM[500] = {};

char szStatus[kStatusLen] = {};
char szSoftName[72] = {};
char szSoftVersion[72] = {};
char proj_dir[MAX_PATHNAME_LEN] = {};
char file_name[MAX_PATHNAME_LEN] = {};

double pixel[2] = {241.0, 662.0};
double umeter[2] = {7960.0, 21960.0};
double zarray[2] = {0.0, 0.0};
double slopeval = 0.0;
double interval = 0.0;
double mse = 0.0;
u16 flagstep1 = 0;
u16 flagstep2 = 0;
u16 oldMode = 0;

void StoreDefaults() {
    power = 500;
    rs232Mode = 0;
    vThd = 512;
    anaMode = 0;
    polarity = 1;
    eMode = 1;
    eBeg = 1;
    eEnd = 1024;
    tVal = 512;
    tTol = 100;
    eHardware = 1;
    slope = SLOPEMULTI;
    intersect = YOFFSET;
    pixB = 1;
    pixE = 1024;
    com = 1;
    sync = 0x55;
    order = 1;
    target = RAM;
    rx_flag = 0;
    stop_flag = 1;
    ccdmaxpixel = 1024;
    ccdmaxpixelX8 = 8192;
    pcbtype = 0;
}

void ResetAllGlobals() {
    sync = 0x55;
    pHandle = pPopup = com = order = target = 0;
    rx_flag = stop_flag = graphrefresh = nBytesW = nBytesR = ret = 0;
    tstart = tdiff = 0.0;
    std::fill(std::begin(pp), std::end(pp), u16{0});
    std::fill(std::begin(szWriteBuf), std::end(szWriteBuf), 0);
    std::fill(std::begin(szReadBuf), std::end(szReadBuf), 0);

    power = rs232Mode = vThd = anaMode = polarity = eMode = eBeg = eEnd = 0;
    tVal = tTol = opMode = eHardware = slope = intersect = average = deltaTol = 0;

    Ledge = Redge = Mvalue = edcnt = mvstart = mvend = anaMax = anaMin = 0;
    umValue = 0;

    pcbtype = ccdtype = ccdresolution = ccdmaxpixel = ccdmaxpixelX8 = ccdsubpixel = 0;
    ccdpixE = pixB = pixE = softversion = 0;
    YAXISMAX = 1024;
    std::fill(std::begin(szVersion), std::end(szVersion), '\0');

    std::fill(std::begin(adcbuf), std::end(adcbuf), u16{0});
    std::fill(std::begin(xArray), std::end(xArray), 0.0);
    std::fill(std::begin(xArray8), std::end(xArray8), 0.0);
    std::fill(std::begin(thdArray), std::end(thdArray), u16{0});
    std::fill(std::begin(arrayNORM), std::end(arrayNORM), 0.0);

    std::fill(std::begin(szStatus), std::end(szStatus), '\0');
    std::fill(std::begin(szSoftName), std::end(szSoftName), '\0');
    std::fill(std::begin(szSoftVersion), std::end(szSoftVersion), '\0');
    std::fill(std::begin(proj_dir), std::end(proj_dir), '\0');
    std::fill(std::begin(file_name), std::end(file_name), '\0');

    pixel[0] = 241.0;
    pixel[1] = 662.0;
    umeter[0] = 7960.0;
    umeter[1] = 21960.0;
    zarray[0] = zarray[1] = 0.0;
    slopeval = interval = mse = 0.0;
    flagstep1 = flagstep2 = oldMode = 0;
}

void SetStatusText(const char* text) {
    const std::size_t n = text ? strnlen(text, kStatusLen - 1) : 0;
    std::memmove(szStatus, text ? text : "", n);
    szStatus[n] = '\0';
}

void ShowStatus() {
    szStatus[kStatusLen - 1] = '\0';
    SetCtrlVal(pHandle, PANEL_STATUS, szStatus);
}

} // namespace korven
