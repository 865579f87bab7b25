// The parameter file: the 16 words of the parameter packet as a column of
// decimal numbers, one per line, each in a field 5 characters wide.
#include "link/com232.h"

#include "display/gui.h"

#include <cstdint>

namespace korven {

namespace {

constexpr const char* kDefaultFile = "KRVNpara.dat";
constexpr const char* kFilter = "*.dat";
constexpr int kFieldWidth = 5;

// The status text for a file that could not be read, so that the operator
// knows why the parameters did not change.
const char* ReadErrorText(int code) {
    switch (code) {
    case kFileOpenError:
        return "Parameter file cannot be opened!";
    case kFileTooShort:
        return "Parameter file unreadable: fewer than 16 values!";
    case kFileBadNumber:
        return "Parameter file unreadable: not an unsigned number!";
    case kFileExtraData:
        return "Parameter file unreadable: more than 16 values!";
    default:
        return "Error reading parameter file!";
    }
}

} // namespace

void SendParaToFile() {
    GetPanelValues();
    CopyVarsToPP();
    std::uint32_t elements[PNUM];
    for (int k = 0; k < PNUM; ++k) {
        elements[k] = pp[k];
    }
    // The file is replaced as a whole or not at all.
    const int result =
        ArrayToFile(file_name.c_str(), elements, VAL_UNSIGNED_INTEGER, PNUM, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, kFieldWidth, VAL_ASCII, VAL_TRUNCATE);
    if (result < 0) {
        SetStatusText("Error writing parameter file!");
        ShowStatus();
    }
}

int ReadParaFromFile() {
    const int chosen = FileSelectPopup(proj_dir, kDefaultFile, kFilter, "KORVEN-Parameter-File",
                                       VAL_LOAD_BUTTON, 0, 1, 1, 1, file_name);
    if (chosen <= 0) {
        return 0;
    }
    std::uint32_t elements[PNUM] = {};
    const int result = FileToArray(file_name.c_str(), elements, VAL_UNSIGNED_INTEGER, PNUM, 1,
                                   VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII);
    if (result < 0) {
        // Nothing of a broken file is applied, not even the part that could
        // be read.
        SetStatusText(ReadErrorText(result));
        ShowStatus();
        return 0;
    }
    for (int k = 0; k < PNUM; ++k) {
        pp[k] = static_cast<u16>(elements[k] & 0xFFFFu);
    }
    CopyPPtoVars();
    // The read-back shows this text; without it an earlier error text would
    // stay and tell the operator that this file failed too.
    SetStatusText("Parameter file loaded!");
    return 1;
}

} // namespace korven
