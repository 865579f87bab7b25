// The parameter file: the 16 words of the parameter packet as a column of
// decimal numbers, one per line, each in a field 5 characters wide.
#include "link/com232.h"

#include "analysis/compare.h"
#include "display/gui.h"

#include <cstdint>
#include <string>

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
        const std::string reason = LastFileError();
        ShowStatusLine("Error writing parameter file! " + file_name +
                       (reason.empty() ? std::string() : ": " + reason));
        return;
    }
    // The save counts only once the file reads back as the set written.
    std::uint32_t back[PNUM] = {};
    const int read = FileToArray(file_name.c_str(), back, VAL_UNSIGNED_INTEGER, PNUM, 1,
                                 VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII);
    if (read < 0) {
        ShowStatusLine("Parameter file not confirmed: cannot read back " + file_name);
        return;
    }
    analysis::ParameterWords sent{}, found{};
    for (int k = 0; k < PNUM; ++k) {
        sent[static_cast<std::size_t>(k)] = static_cast<u16>(elements[k]);
        found[static_cast<std::size_t>(k)] = static_cast<u16>(back[k] & 0xFFFFu);
    }
    const std::string differences = analysis::DifferenceList(sent, found);
    ShowStatusLine(differences.empty() ? "Parameter file saved: " + file_name
                                       : "Parameter file not confirmed: " + file_name +
                                             " differs in " + differences);
}

int ReadParaFromFile() {
    const int chosen =
        FileSelectPopup(FileFolder(kParaFolderKind).c_str(), kDefaultFile, kFilter,
                        "KORVEN-Parameter-File", VAL_LOAD_BUTTON, 0, 1, 1, 1, file_name);
    if (chosen <= 0) {
        return 0;
    }
    NoteFileFolder(kParaFolderKind, file_name.c_str());
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
