#pragma once
// Dialog and control routines shared by the program's windows: message boxes, yes/no
// questions, the Open and Save dialogs, small helpers for buttons, edits and painters, the wait
// cursor, the low-colour test and the application title used as the boxes' caption.
//
// Filters are "Name|pattern|Name|pattern|..." strings (patterns separated by ";"); they are
// turned into the dialog's own filter form only when a dialog is shown.
//
// Script of answers: answers pushed with VclScriptPush are consumed, one per box, dialog or
// popup menu (ctlpopup), instead of showing anything; each such call is also written to a log
// (VclScriptLog). With no scripted answer and no screen to show on (Qt's offscreen or minimal
// platform, or no application object), the call is logged, its text goes to standard error,
// and it gets the default answer: the default button, Cancel for file dialogs, nothing chosen
// for popup menus. A box asked for off the window thread is shown later on the window thread
// and answered at once with the default, so the player's worker never waits for the window.

#include <cstdint>
#include <string>
#include <vector>

class QLineEdit;
class QPainter;
class QPaintDevice;
class QWidget;

namespace kelvora {

// Message box flags, added together: buttons, icon, default button.
constexpr int32_t MB_OK = 0;
constexpr int32_t MB_OKCANCEL = 1;
constexpr int32_t MB_YESNOCANCEL = 3;
constexpr int32_t MB_YESNO = 4;
constexpr int32_t MB_ICONERROR = 16;
constexpr int32_t MB_ICONQUESTION = 32;
constexpr int32_t MB_ICONWARNING = 48;
constexpr int32_t MB_ICONINFORMATION = 64;
constexpr int32_t MB_DEFBUTTON2 = 256;
constexpr int32_t MB_DEFBUTTON3 = 512;

// Message box answers.
constexpr int32_t ID_OK = 1;
constexpr int32_t ID_CANCEL = 2;
constexpr int32_t ID_YES = 6;
constexpr int32_t ID_NO = 7;

// Longest exception message an exception box shows.
constexpr size_t EXCEPTION_TEXT_MAX = 1025;

// --- Application title --------------------------------------------------------------------------
void AppTitleSet(const std::string& title);
std::string AppTitle();  // "Kelvora" until set

// --- Message boxes --------------------------------------------------------------------------------
// Shows a modal box and returns the answer (ID_*).
int32_t MsgBox(const std::string& text, const std::string& caption, int32_t flags);
void InfoBox(const std::string& text);
void WarningBox(const std::string& text);
void ErrorBox(const std::string& text);
// Error box with `prefix` and the message of the exception being handled; call it inside a
// catch block (outside one it shows the prefix alone).
void ExceptionBox(const std::string& prefix);
// 'Y' or 'N'. `def` 1 makes Yes the default button, anything else No.
char YesNo(const std::string& text, int32_t def);
// 'Y', 'N' or 'C'. `def` 1, 2 or other makes Yes, No or Cancel the default button.
char YesNoCancel(const std::string& text, int32_t def);

// --- File names and dialogs -------------------------------------------------------------------
// The extension (".bmp") of the pattern of the index-th (1-based) filter entry; empty when the
// entry is missing, has no "." or is a wildcard ("*.*").
void FilterToExt(const std::string& filter, int32_t index, std::string& ext);
// `name` with the filter's extension when `force` is set or the name has none. A filter entry
// without an extension leaves the name as it is.
void CompleteName(const std::string& name, const std::string& filter, int32_t index,
                  std::string& out, bool force);
// The filter as the dialog's list of name filters: "Name|*.a;*.b|" gives "Name (*.a *.b)".
std::vector<std::string> FilterToDialog(const std::string& filter);
// The Open dialog: the file must exist. On OK `fileName` is the chosen file (completed by
// CompleteName), `dir` its directory (with a trailing "/") and `filterIndex` the chosen entry;
// on Cancel `fileName` is empty and the others stay. True on OK.
bool FileOpenDlg(const std::string& title, std::string& dir, const std::string& filter,
                 std::string& fileName, int32_t& filterIndex);
// The Save dialog, the same way; its folder must exist; it does not ask before overwriting.
bool FileSaveDlg(const std::string& title, std::string& dir, const std::string& initialName,
                 std::string& fileName, int32_t& filterIndex, const std::string& filter);

// --- Controls and painting ----------------------------------------------------------------------
void SetHint(QWidget* button, const std::string& text);
// Fills the rectangle with the colour 0x00BBGGRR.
void ClearDC(QPainter& dc, int32_t left, int32_t top, int32_t width, int32_t height, uint32_t colour);
void TEdit_SetInt(QLineEdit* edit, int32_t value);
int32_t TEdit_GetInt(QLineEdit* edit, int32_t def);
void TEdit_SetFloat(QLineEdit* edit, double value);
double TEdit_GetFloat(QLineEdit* edit, double def);
void TEdit_Enable(QLineEdit* edit, bool enabled);

// The hourglass for the whole application, and back to the normal cursor. Not nested: one
// call of WaitCursorOff ends any number of WaitCursorOn.
void WaitCursorOn();
void WaitCursorOff();
// The wait cursor for a scope.
struct WaitCursorScope {
    WaitCursorScope() { WaitCursorOn(); }
    ~WaitCursorScope() { WaitCursorOff(); }
    WaitCursorScope(const WaitCursorScope&) = delete;
    WaitCursorScope& operator=(const WaitCursorScope&) = delete;
};

// True when the device (null: the primary screen) shows fewer than 15 bits per pixel;
// KELVORA_SCREEN_DEPTH, when set to a positive number, stands for the depth.
bool IsLowColor(const QPaintDevice* device);

// --- Script of answers ------------------------------------------------------------------------
// A box or popup answer (ID_* for boxes, the chosen item id or BAD_HANDLE for popup menus).
void VclScriptPush(int32_t answer);
// A file dialog answer: the chosen name ("" = Cancel) and filter entry (0 keeps the given one).
void VclScriptPush(const std::string& fileName, int32_t filterIndex = 0);
// Empties the script and the log.
void VclScriptClear();
// Answers still waiting.
size_t VclScriptPending();

struct QVclLogEntry {
    std::string kind;     // "box", "open", "save" or "popup"
    std::string caption;  // box caption or dialog title
    std::string text;     // box text, dialog filter or popup description
    std::string detail;   // the dialog's starting directory
    int32_t flags;        // box flags, the dialog's filter index, the popup's item count
    int32_t answer;       // box answer or chosen popup id; for dialogs 1 = OK, 0 = Cancel
};
// The calls made, oldest first (the newest 1000).
std::vector<QVclLogEntry> VclScriptLog();

// For ctlpopup: takes the next scripted answer, if any, into `answer`.
bool VclScriptTakeInt_(int32_t& answer);
// For ctlpopup: records a call; true when nothing can be shown (no screen), after noting it.
void VclLogAdd_(const QVclLogEntry& entry);
bool VclHeadless_();

}  // namespace kelvora
