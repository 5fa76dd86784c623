#include "app/wNotepad.h"

#include <QActionGroup>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include <sys/stat.h>

#include "app/VCLUtils.h"
#include "app/informer.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "runtime/miscprocs.h"

namespace kelvora {

namespace {

constexpr const char* TEXT_FILTER = "Text files (*.txt)|*.txt";
constexpr const char* OVERWRITE_QUESTION =
    "File already exists. Do you want to overwrite it? \r\n"
    "Press YES to overwrite, NO to append or CANCEL to abort saving.";
// A text window is not a viewer for arbitrary data: bigger files are refused, not read whole.
constexpr off_t TEXT_FILE_MAX = 16 << 20;

// Module state: one window at a time; the rest lives for the whole run.
TfrmNotepad* gWindow = nullptr;
bool gInfoMode = false;
bool gEditable = true;
bool gWordWrap = false;
bool gInModalLoop = false;
std::string gLastDir;
std::string gText;
std::function<void(TfrmNotepad&)> gShowHook;

QString Q_(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// The control keeps "\n" line ends; files and the report use "\r\n".
QString ToControl_(const std::string& text) {
    QString s = Q_(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

struct Scheme_ {
    QColor back, text;
    bool bold;
};

Scheme_ SchemeColours_(int32_t scheme) {
    switch (scheme) {
        case 1: return {QColor(0, 0, 0), QColor(0, 200, 0), true};
        case 2: return {QColor(0, 64, 128), QColor(255, 255, 255), true};
        case 3: return {QColor(192, 192, 192), QColor(0, 0, 0), true};
        default: {
            const QPalette system = QApplication::palette();
            return {system.color(QPalette::Base), system.color(QPalette::Text), false};
        }
    }
}

// The file routines stop their errors in frames of their own; raising the error again in the
// caller's frame keeps it recorded for the box shown after that frame.
void RaiseLast_() {
    if (!ErrNone()) ErrRaise(ErrLastGroup(), ErrLastCode(), ErrLastText(), __LINE__);
}

void _DlgReset(TfrmNotepad* window) {
    window->DoneControls();
    if (gWindow == window) gWindow = nullptr;
    window->deleteLater();
}

// Runs the scripted hook once the window is up; a modal window must not outlive it.
void ScheduleHook_(TfrmNotepad* window, bool modal) {
    if (!gShowHook && !(modal && VclHeadless_())) return;
    QPointer<TfrmNotepad> w = window;
    ::QTimer::singleShot(0, window, [w, modal] {
        const auto hook = gShowHook;
        if (w && hook) hook(*w);
        if (w && modal && w->isVisible()) w->close();
    });
}

void _DlgShow(const std::string& caption, int32_t scheme) {
    if (!gWindow) {
        gWindow = new TfrmNotepad();
        TfrmNotepad* w = gWindow;
        QObject::connect(w, &QDialog::finished, w, [w] { _DlgReset(w); });
    }
    gWindow->setWindowTitle(Q_(caption));
    gWindow->InitControls(scheme);
    if (!gInfoMode) {
        gWindow->setModal(false);
        gWindow->show();
        gWindow->raise();
        gWindow->activateWindow();
        ScheduleHook_(gWindow, false);
        return;
    }
    // Already running modally: the new text is all there is to show.
    if (gInModalLoop) return;
    QPointer<TfrmNotepad> w = gWindow;
    if (w->isVisible()) w->hide();  // a modeless window turns modal
    ScheduleHook_(w, true);
    gInModalLoop = true;
    w->exec();
    gInModalLoop = false;
    delete w.data();
}

}  // namespace

TfrmNotepad::TfrmNotepad(QWidget* parent) : QDialog(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmNotepad"));
    setSizeGripEnabled(false);
    resize(560, 400);

    txtInfo = new QPlainTextEdit(this);
    txtInfo->setObjectName(QStringLiteral("txtInfo"));
    txtInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtInfo->setFrameShape(QFrame::NoFrame);
    txtInfo->document()->setDocumentMargin(6);

    menuBar = new QMenuBar(this);
    mnuFile = menuBar->addMenu(QStringLiteral("&File"));
    mnuNew = mnuFile->addAction(QStringLiteral("&New"), this, [this] { mnuNewClick(); });
    mnuOpen = mnuFile->addAction(QStringLiteral("&Open..."), this, [this] { mnuOpenClick(); });
    mnuSaveAs = mnuFile->addAction(QStringLiteral("Save &As..."), this, [this] { mnuSaveAsClick(); });
    mnuFile->addSeparator();
    mnuClose = mnuFile->addAction(QStringLiteral("Close This Window"), this,
                                  [this] { mnuCloseClick(); });

    mnuEdit = menuBar->addMenu(QStringLiteral("&Edit"));
    mnuCut = mnuEdit->addAction(QStringLiteral("Cu&t"), this, [this] { mnuCutClick(); });
    mnuCut->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    mnuCopy = mnuEdit->addAction(QStringLiteral("&Copy"), this, [this] { mnuCopyClick(); });
    mnuCopy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    mnuPaste = mnuEdit->addAction(QStringLiteral("&Paste"), this, [this] { mnuPasteClick(); });
    mnuPaste->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_V));
    mnuEdit->addSeparator();
    mnuSelectAll = mnuEdit->addAction(QStringLiteral("Select &All"), this,
                                      [this] { mnuSelectAllClick(); });
    mnuSelectAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    mnuEdit->addSeparator();
    mnuWordWrap = mnuEdit->addAction(QStringLiteral("&Word wrap"), this,
                                     [this] { mnuWordWrapClick(); });
    mnuWordWrap->setCheckable(true);

    mnuInfo = menuBar->addMenu(QStringLiteral("&Info"));
    auto* forms = new QActionGroup(this);
    forms->setExclusive(true);
    mnuInfoStandard = mnuInfo->addAction(QStringLiteral("Standard"), this,
                                         [this] { mnuInfoStandardClick(); });
    mnuInfoDelimited = mnuInfo->addAction(QStringLiteral("Delimited"), this,
                                          [this] { mnuInfoDelimitedClick(); });
    for (QAction* a : {mnuInfoStandard, mnuInfoDelimited}) {
        a->setCheckable(true);
        forms->addAction(a);
    }
    mnuInfoStandard->setChecked(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setMenuBar(menuBar);
    layout->addWidget(txtInfo);
}

void TfrmNotepad::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TfrmNotepad::InitControls(int32_t scheme) {
    if (gInfoMode) {
        mnuInfoStandard->setChecked(true);
        _RecalcInfoText();
    } else {
        txtInfo->setPlainText(ToControl_(gText));
    }
    _EnableWordWrap(gWordWrap);
    _EnableMenus();
    txtInfo->setReadOnly(!gEditable);
    // Read-only text can still be selected and copied from the keyboard.
    if (!gEditable)
        txtInfo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    const Scheme_ colours = SchemeColours_(scheme);
    QFont font(QStringLiteral("Arial"), 10);
    font.setBold(colours.bold);
    txtInfo->setFont(font);
    QPalette palette = txtInfo->palette();
    palette.setColor(QPalette::Base, colours.back);
    palette.setColor(QPalette::Text, colours.text);
    txtInfo->setPalette(palette);

    int32_t sw = 1024, sh = 768;
    QRect area(0, 0, sw, sh);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        sw = screen->geometry().width();
        sh = screen->geometry().height();
        area = screen->availableGeometry();
    }
    int32_t w = 0, h = 0;
    NotepadSizeFor(sw, sh, w, h);
    resize(w, h);
    move(area.center() - QPoint(w / 2, h / 2));
}

void TfrmNotepad::DoneControls() {
    if (!gInfoMode) gWordWrap = txtInfo->lineWrapMode() != QPlainTextEdit::NoWrap;
}

std::string TfrmNotepad::Text() const {
    QString s = txtInfo->toPlainText();
    s.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return s.toUtf8().toStdString();
}

void TfrmNotepad::_RecalcInfoText() {
    txtInfo->setPlainText(ToControl_(InfoListGetStr(mnuInfoDelimited->isChecked())));
    if (!gEditable) _MoveCursorToEnd();
}

void TfrmNotepad::_MoveCursorToEnd() {
    QTextCursor cursor = txtInfo->textCursor();
    const int last = txtInfo->document()->characterCount() -
                     1;  // the count includes the final block end
    cursor.setPosition(last > 0 ? last - 1 : 0);
    txtInfo->setTextCursor(cursor);
    // The caret waits at the end; the view stays at the report's beginning.
    txtInfo->verticalScrollBar()->setValue(0);
    txtInfo->horizontalScrollBar()->setValue(0);
}

void TfrmNotepad::_EnableMenus() {
    mnuInfo->menuAction()->setVisible(gInfoMode);
    mnuNew->setEnabled(gEditable);
    mnuCut->setEnabled(gEditable);
    mnuPaste->setEnabled(gEditable);
}

void TfrmNotepad::_EnableWordWrap(bool on) {
    mnuWordWrap->setChecked(on);
    txtInfo->setLineWrapMode(on ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    txtInfo->setHorizontalScrollBarPolicy(on ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    txtInfo->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

void TfrmNotepad::_LoadTextFromFile() {
    MonitoredIsolated([&] {
        std::string name;
        int32_t index = 1;
        if (!FileOpenDlg("Open Text", gLastDir, TEXT_FILTER, name, index)) return;
        struct stat sb;
        if (::stat(name.c_str(), &sb) == 0 && sb.st_size > TEXT_FILE_MAX)
            ErrRaiseMsg(ERR_USER, "The file is too large for this window: " + name, __LINE__);
        const std::string text = FileToStr(name);
        RaiseLast_();
        txtInfo->setPlainText(ToControl_(text));
    });
    if (!ErrNone()) ErrorBox(ErrLastText());
}

void TfrmNotepad::_SaveTextToFile() {
    MonitoredIsolated([&] {
        std::string name;
        int32_t index = 0;
        if (!FileSaveDlg("Save Text", gLastDir, "untitled", name, index, TEXT_FILTER)) return;
        std::string full;
        CompleteName(name, TEXT_FILTER, 1, full, false);
        bool append = false;
        struct stat sb;
        if (::stat(full.c_str(), &sb) == 0) {
            const char answer = YesNoCancel(OVERWRITE_QUESTION, 1);
            if (answer == 'C') return;
            append = answer == 'N';
        }
        StrToFile(full, Text(), append);
        RaiseLast_();
    });
    if (!ErrNone()) ErrorBox(ErrLastText());
}

void TfrmNotepad::mnuNewClick() {
    txtInfo->clear();
    _EnableMenus();
}

void TfrmNotepad::mnuOpenClick() {
    _LoadTextFromFile();
    _EnableMenus();
}

void TfrmNotepad::mnuSaveAsClick() { _SaveTextToFile(); }

void TfrmNotepad::mnuCloseClick() { close(); }

void TfrmNotepad::mnuCutClick() {
    txtInfo->cut();
    _EnableMenus();
}

void TfrmNotepad::mnuCopyClick() { txtInfo->copy(); }

void TfrmNotepad::mnuPasteClick() {
    txtInfo->paste();
    _EnableMenus();
}

void TfrmNotepad::mnuSelectAllClick() {
    txtInfo->selectAll();
    _EnableMenus();
}

// The action has toggled its own mark when triggered from the menu; the control's state is
// the one to flip.
void TfrmNotepad::mnuWordWrapClick() {
    _EnableWordWrap(txtInfo->lineWrapMode() == QPlainTextEdit::NoWrap);
}

void TfrmNotepad::mnuInfoStandardClick() {
    mnuInfoStandard->setChecked(true);
    _RecalcInfoText();
}

void TfrmNotepad::mnuInfoDelimitedClick() {
    mnuInfoDelimited->setChecked(true);
    _RecalcInfoText();
}

void DlgNotepadInfo(const std::string& caption, bool editable, int32_t scheme) {
    gEditable = editable;
    gInfoMode = true;
    _DlgShow(caption, scheme);
}

void DlgNotepadText(const std::string& caption, const std::string& text, bool editable,
                    int32_t scheme) {
    gEditable = editable;
    gInfoMode = false;
    gText = text;
    _DlgShow(caption, scheme);
}

TfrmNotepad* NotepadWindow() { return gWindow; }

void NotepadSizeFor(int32_t screenWidth, int32_t screenHeight, int32_t& width, int32_t& height) {
    width = ClampInt(static_cast<int32_t>(int64_t{screenWidth} * 2 / 3), 560, 800);
    height = ClampInt(static_cast<int32_t>(int64_t{screenHeight} * 2 / 3), 400, 600);
}

void NotepadSetShowHook(std::function<void(TfrmNotepad&)> hook) { gShowHook = std::move(hook); }

}  // namespace kelvora
