#pragma once
// The player's two file types (pictures, sound only) and the dialog that points the readable
// extensions at them or gives them back to their previous owners.

#include <QDialog>

#include <cstdint>
#include <functional>
#include <string>

#include "app/FileAssoc.h"

class QLabel;
class QListWidget;
class QPushButton;

namespace kelvora {

constexpr const char* FAS_TYPE_VIDEO = "Kelvora.VideoClip";
constexpr const char* FAS_TYPE_AUDIO = "Kelvora.AudioClip";
constexpr const char* FAS_BACKUP_NAME = "Kelvora";

// The file type of an item: the video type when its format has pictures, else the audio type.
std::string FasItemFileType(const QFasItem& item);

// A list of every extension of the load table, with the backup key defined and each item's
// state read from the registry. Free it with Fas_Free.
QFasList* FasPrepare();
// Registers both file types for the program at `programPath`: description, icon (beside the
// program) and the verbs Open and Play (the default).
void FasCreateFileTypes(const std::string& programPath);
// Creates the file types, then associates every item whose flag in `checked` is set and
// restores every other one.
void FasApply(QFasList* list, const std::function<bool(int32_t)>& checked,
              const std::string& programPath);
// Gives every extension that is still ours back to its previous owner (the Uninst command).
void FasRestoreAll();

class TfrmAssoc : public QDialog {
public:
    explicit TfrmAssoc(QWidget* parent = nullptr);

    QLabel* lblTitle;
    QListWidget* lstExts;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    // One checkable line per item, in list order, checked when the item is associated.
    void FillList(QFasList* list);
    bool IsChecked(int32_t index) const;
};

// The modal association dialog; on OK the choices are applied. True when closed with OK.
bool ShowAssocDialog(const std::string& programPath, QWidget* parent = nullptr);

// For scripted runs: `hook` is called once the dialog is shown; a dialog still open when it
// returns is cancelled. Without a hook on a screen nobody sees the dialog is cancelled at once.
void AssocSetShowHook(std::function<void(TfrmAssoc&)> hook);

}  // namespace kelvora
