#pragma once
// The small text window: the information report of the open file (modal, read-only, readable
// or delimited form, from the report list of informer) or a plain notepad (modeless,
// editable). The text can be copied and saved to a text file, replacing or extending it.
//
// One window at a time: it is made when first shown and forgotten when closed. The word wrap
// state of the notepad and the folder last used by Open and Save As live for the whole run.

#include <QDialog>

#include <cstdint>
#include <functional>
#include <string>

class QAction;
class QMenu;
class QMenuBar;
class QPlainTextEdit;

namespace kelvora {

// Colour schemes of the text: system colours, green on black, white on blue, black on grey.
constexpr int32_t NOTEPAD_SCHEMES = 4;

class TfrmNotepad : public QDialog {
public:
    explicit TfrmNotepad(QWidget* parent = nullptr);

    QPlainTextEdit* txtInfo;
    QMenuBar* menuBar;
    QMenu* mnuFile;
    QMenu* mnuEdit;
    QMenu* mnuInfo;
    QAction* mnuNew;
    QAction* mnuOpen;
    QAction* mnuSaveAs;
    QAction* mnuClose;
    QAction* mnuCut;
    QAction* mnuCopy;
    QAction* mnuPaste;
    QAction* mnuSelectAll;
    QAction* mnuWordWrap;
    QAction* mnuInfoStandard;
    QAction* mnuInfoDelimited;

    // Fills the window for the current mode and applies the scheme and the size.
    void InitControls(int32_t scheme);
    // Remembers the notepad's word wrap state for the next opening.
    void DoneControls();

    void mnuNewClick();
    void mnuOpenClick();
    void mnuSaveAsClick();
    void mnuCloseClick();
    void mnuCutClick();
    void mnuCopyClick();
    void mnuPasteClick();
    void mnuSelectAllClick();
    void mnuWordWrapClick();
    void mnuInfoStandardClick();
    void mnuInfoDelimitedClick();

    // The text of the control with "\r\n" line ends.
    std::string Text() const;

protected:
    // A normal window: Escape does not close it (and throw away what was typed).
    void keyPressEvent(QKeyEvent* event) override;

private:
    void _RecalcInfoText();
    void _MoveCursorToEnd();
    void _EnableMenus();
    void _EnableWordWrap(bool on);
    void _LoadTextFromFile();
    void _SaveTextToFile();
};

// The information report of the listed files (InfoListGetStr) in a modal window; returns when
// the window is closed. The caller fills the report list before and frees it after.
void DlgNotepadInfo(const std::string& caption, bool editable, int32_t scheme);
// `text` in a modeless notepad; returns at once.
void DlgNotepadText(const std::string& caption, const std::string& text, bool editable,
                    int32_t scheme);
// The window while it is shown, else null.
TfrmNotepad* NotepadWindow();

// The window size for a screen: two thirds of it, within 560..800 x 400..600.
void NotepadSizeFor(int32_t screenWidth, int32_t screenHeight, int32_t& width, int32_t& height);

// For scripted runs: `hook` is called each time the window has been shown; a modal window still
// open when the hook returns is closed then, so nothing waits for a user. An empty hook clears
// it. Without a hook on a screen nobody sees (offscreen platform), a modal window closes at
// once.
void NotepadSetShowHook(std::function<void(TfrmNotepad&)> hook);

}  // namespace kelvora
