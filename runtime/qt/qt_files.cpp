#include "runtime/qt/qt_internal.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QSettings>
#include <QStandardPaths>

namespace korven::rt::qt {

// ---- files ---------------------------------------------------------------------

FileDialogResult QtBackend::fileSelectPopup(const FileDialogRequest& request) {
    // The dialogue opens in the folder asked for whenever it can be read;
    // saving elsewhere is the operator's choice in the dialogue. The
    // program's own folder is no place for the operator's files once it is
    // installed where a user may not write (on Windows always: a folder's
    // write permission is not known there before writing), the documents
    // folder instead.
    QString directory = FromEngine(request.defaultDirectory);
    const QFileInfo dirInfo(directory);
#if defined(Q_OS_WIN)
    constexpr bool kAnyProgramFolder = true;
#else
    constexpr bool kAnyProgramFolder = false;
#endif
    const bool programFolder =
        dirInfo.isDir() && (kAnyProgramFolder || !dirInfo.isWritable()) &&
        dirInfo.canonicalFilePath() == QFileInfo(FromEngine(projectDir())).canonicalFilePath();
    if (directory.isEmpty() || !dirInfo.isDir() || !dirInfo.isReadable() || programFolder) {
        directory = FromEngine(documentsDir());
    }
    QFileDialog dialog(nullptr, FromEngine(request.title), directory);
    // On Windows the system's own dialogue, with the operator's places and
    // recent folders; elsewhere, and on other platform plugins (offscreen),
    // Qt's own, which shows wherever the program's windows show.
    const bool native = QGuiApplication::platformName() == QLatin1String("windows");
    dialog.setOption(QFileDialog::DontUseNativeDialog, !native);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    const QString filter = FromEngine(request.fileTypeList);
    if (!filter.isEmpty()) {
        // Restricted to the filter's extension, the dialogue offers no other.
        if (request.restrictExtension) {
            dialog.setNameFilter(filter);
        } else {
            dialog.setNameFilters({filter, QStringLiteral("*")});
        }
        // "*.dat" gives new file names the extension.
        if (filter.startsWith(QLatin1String("*.")) && !filter.contains(QLatin1Char(';')) &&
            !filter.contains(QLatin1Char(' '))) {
            dialog.setDefaultSuffix(filter.mid(2));
        }
    }
    const QString proposed = FromEngine(request.defaultFileSpec);
    if (!proposed.isEmpty() && !proposed.contains(QLatin1Char('*')) &&
        !proposed.contains(QLatin1Char('?'))) {
        dialog.selectFile(proposed);
    }
    if (!request.allowMakeDirectory) {
        dialog.setOption(QFileDialog::ReadOnly, true);
    }
    QString accept;
    switch (request.buttonLabel) {
    case VAL_SAVE_BUTTON:
        accept = QStringLiteral("Save");
        break;
    case VAL_SELECT_BUTTON:
        accept = QStringLiteral("Select");
        break;
    case VAL_LOAD_BUTTON:
        accept = QStringLiteral("Load");
        break;
    default:
        accept = QStringLiteral("OK");
        break;
    }
    dialog.setLabelText(QFileDialog::Accept, accept);

    ++dispatchDepth_;
    const int rc = dialog.exec();
    --dispatchDepth_;
    FileDialogResult result;
    if (rc != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        result.status = VAL_NO_FILE_SELECTED;
        return result;
    }
    const QString chosen = QDir::toNativeSeparators(dialog.selectedFiles().first());
    // A name typed with another extension is not taken when the extension
    // is restricted.
    if (request.restrictExtension && !filter.isEmpty() &&
        !QDir::match(filter, QFileInfo(chosen).fileName())) {
        result.status = kError;
        return result;
    }
    result.path = ToEngine(chosen);
    result.status = QFileInfo::exists(chosen) ? VAL_EXISTING_FILE_SELECTED : VAL_NEW_FILE_SELECTED;
    return result;
}

std::string QtBackend::documentsDir() {
    QString directory = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!QFileInfo(directory).isDir()) {
        directory = QDir::homePath();
    }
    return ToEngine(QDir::toNativeSeparators(directory));
}

std::string QtBackend::setting(const std::string& key) {
    if (settingsFile_.isEmpty()) {
        const auto it = sessionSettings_.find(key);
        return it != sessionSettings_.end() ? it->second : std::string();
    }
    const QSettings settings(settingsFile_, QSettings::IniFormat);
    return ToEngine(settings.value(FromEngine(key)).toString());
}

void QtBackend::setSetting(const std::string& key, const std::string& value) {
    if (settingsFile_.isEmpty()) {
        sessionSettings_[key] = value;
        return;
    }
    QSettings settings(settingsFile_, QSettings::IniFormat);
    settings.setValue(FromEngine(key), FromEngine(value));
}

} // namespace korven::rt::qt
