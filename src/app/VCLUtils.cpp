#include "app/VCLUtils.h"

#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>

#include "runtime/miscprocs.h"

namespace kelvora {

namespace {

struct Answer_ {
    int32_t id = 0;
    std::string name;
    int32_t index = 0;
};

constexpr size_t LOG_MAX = 1000;

// Script, log and title may be touched from the player's worker (boxes of its callback).
std::mutex gLock;
std::deque<Answer_> gScript;
std::deque<QVclLogEntry> gLog;
std::string gTitle = "Kelvora";
bool gWaitCursor = false;  // window thread only

bool TakeAnswer_(Answer_& answer) {
    std::lock_guard<std::mutex> lock(gLock);
    if (gScript.empty()) return false;
    answer = std::move(gScript.front());
    gScript.pop_front();
    return true;
}

QApplication* App_() { return qobject_cast<QApplication*>(QCoreApplication::instance()); }

bool OnWindowThread_() {
    QApplication* app = App_();
    return app && QThread::currentThread() == app->thread();
}

QString Q_(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::string S_(const QString& s) { return s.toUtf8().toStdString(); }

// The answer of the default button.
int32_t DefaultAnswer_(int32_t flags) {
    static const int32_t buttons[6][3] = {{ID_OK, 0, 0},      {ID_OK, ID_CANCEL, 0},
                                          {3, 4, 5},          {ID_YES, ID_NO, ID_CANCEL},
                                          {ID_YES, ID_NO, 0}, {4, ID_CANCEL, 0}};
    int32_t set = flags & 0xF;
    if (set > 5) set = 0;
    const int32_t which = (flags >> 8) & 0x3;
    const int32_t answer = which < 3 ? buttons[set][which] : 0;
    return answer != 0 ? answer : buttons[set][0];
}

int32_t ShowBox_(const std::string& text, const std::string& caption, int32_t flags) {
    using SB = QMessageBox::StandardButton;
    struct {
        SB button;
        int32_t id;
    } const map[] = {{QMessageBox::Ok, ID_OK}, {QMessageBox::Cancel, ID_CANCEL},
                     {QMessageBox::Abort, 3},  {QMessageBox::Retry, 4},
                     {QMessageBox::Ignore, 5}, {QMessageBox::Yes, ID_YES},
                     {QMessageBox::No, ID_NO}};
    static const std::vector<SB> sets[6] = {
        {QMessageBox::Ok},
        {QMessageBox::Ok, QMessageBox::Cancel},
        {QMessageBox::Abort, QMessageBox::Retry, QMessageBox::Ignore},
        {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel},
        {QMessageBox::Yes, QMessageBox::No},
        {QMessageBox::Retry, QMessageBox::Cancel}};
    int32_t set = flags & 0xF;
    if (set > 5) set = 0;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (flags & 0xF0) {
        case MB_ICONERROR: icon = QMessageBox::Critical; break;
        case MB_ICONQUESTION: icon = QMessageBox::Question; break;
        case MB_ICONWARNING: icon = QMessageBox::Warning; break;
        case MB_ICONINFORMATION: icon = QMessageBox::Information; break;
        default: break;
    }
    QString body = Q_(text);
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(icon, Q_(caption), body, QMessageBox::NoButton, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);  // file names are shown as they are, never as markup
    QList<QAbstractButton*> buttons;
    for (SB b : sets[set]) buttons.append(box.addButton(b));
    const int32_t which = (flags >> 8) & 0x3;
    box.setDefaultButton(
        qobject_cast<QPushButton*>(buttons.value(which < buttons.size() ? which : 0)));
    // Closing the box counts as its Cancel, No or only button.
    QAbstractButton* escape = box.button(QMessageBox::Cancel);
    if (!escape) escape = box.button(QMessageBox::No);
    if (!escape) escape = buttons.last();
    box.setEscapeButton(escape);
    box.exec();
    const SB clicked = box.standardButton(box.clickedButton() ? box.clickedButton() : escape);
    for (const auto& m : map)
        if (m.button == clicked) return m.id;
    return DefaultAnswer_(flags);
}

// A line edit that keeps its text unselected when it takes the focus.
class NoAutoSelect_ : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::FocusIn)
            if (auto* edit = qobject_cast<QLineEdit*>(watched))
                ::QTimer::singleShot(0, edit, [edit] { edit->deselect(); });
        return false;
    }
};

bool FileDlg_(bool save, const std::string& title, std::string& dir, const std::string& initialName,
              const std::string& filter, std::string& fileName, int32_t& filterIndex) {
    const std::vector<std::string> filters = FilterToDialog(filter);
    std::string start = TrimText(dir);
    if (start.empty() || !DirExists(start)) start = GetAppDir();
    const int32_t count = static_cast<int32_t>(filters.size());
    const int32_t given = filterIndex >= 1 && filterIndex <= count ? filterIndex : 1;
    std::string chosen;
    int32_t chosenIndex = given;
    Answer_ scripted;
    if (TakeAnswer_(scripted)) {
        chosen = scripted.name;
        if (scripted.index > 0) chosenIndex = scripted.index;
    } else if (!VclHeadless_() && OnWindowThread_()) {
        QFileDialog dlg(QApplication::activeWindow(), Q_(title), QFile::decodeName(start.c_str()));
        dlg.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dlg.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
        QStringList names;
        for (const std::string& f : filters) names.append(Q_(f));
        if (!names.isEmpty()) {
            dlg.setNameFilters(names);
            dlg.selectNameFilter(names.value(given - 1));
        }
        if (save && !initialName.empty()) dlg.selectFile(QFile::decodeName(initialName.c_str()));
        if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty()) {
            chosen = QFile::encodeName(dlg.selectedFiles().first()).toStdString();
            const qsizetype at = names.indexOf(dlg.selectedNameFilter());
            if (at >= 0) chosenIndex = static_cast<int32_t>(at) + 1;
        }
    }
    VclLogAdd_({save ? "save" : "open", title, filter, start, filterIndex, chosen.empty() ? 0 : 1});
    if (chosen.empty()) {
        fileName.clear();
        return false;
    }
    CompleteName(chosen, filter, chosenIndex, fileName, false);
    const size_t slash = fileName.rfind('/');
    if (slash != std::string::npos) dir = fileName.substr(0, slash + 1);
    filterIndex = chosenIndex;
    return true;
}

}  // namespace

// --- Script and log ---------------------------------------------------------------------------

void VclScriptPush(int32_t answer) {
    std::lock_guard<std::mutex> lock(gLock);
    gScript.push_back({answer, std::string(), 0});
}

void VclScriptPush(const std::string& fileName, int32_t filterIndex) {
    std::lock_guard<std::mutex> lock(gLock);
    gScript.push_back({0, fileName, filterIndex});
}

void VclScriptClear() {
    std::lock_guard<std::mutex> lock(gLock);
    gScript.clear();
    gLog.clear();
}

size_t VclScriptPending() {
    std::lock_guard<std::mutex> lock(gLock);
    return gScript.size();
}

std::vector<QVclLogEntry> VclScriptLog() {
    std::lock_guard<std::mutex> lock(gLock);
    return std::vector<QVclLogEntry>(gLog.begin(), gLog.end());
}

bool VclScriptTakeInt_(int32_t& answer) {
    Answer_ a;
    if (!TakeAnswer_(a)) return false;
    answer = a.id;
    return true;
}

void VclLogAdd_(const QVclLogEntry& entry) {
    std::lock_guard<std::mutex> lock(gLock);
    gLog.push_back(entry);
    if (gLog.size() > LOG_MAX) gLog.pop_front();
}

bool VclHeadless_() {
    if (!App_()) return true;
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// --- Title and boxes ------------------------------------------------------------------------

void AppTitleSet(const std::string& title) {
    std::lock_guard<std::mutex> lock(gLock);
    gTitle = title;
}

std::string AppTitle() {
    std::lock_guard<std::mutex> lock(gLock);
    return gTitle;
}

int32_t MsgBox(const std::string& text, const std::string& caption, int32_t flags) {
    Answer_ scripted;
    if (TakeAnswer_(scripted)) {
        VclLogAdd_({"box", caption, text, std::string(), flags, scripted.id});
        return scripted.id;
    }
    const int32_t def = DefaultAnswer_(flags);
    if (VclHeadless_()) {
        VclLogAdd_({"box", caption, text, std::string(), flags, def});
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return def;
    }
    if (!OnWindowThread_()) {
        VclLogAdd_({"box", caption, text, std::string(), flags, def});
        QMetaObject::invokeMethod(
            App_(), [text, caption, flags] { ShowBox_(text, caption, flags); }, Qt::QueuedConnection);
        return def;
    }
    const int32_t answer = ShowBox_(text, caption, flags);
    VclLogAdd_({"box", caption, text, std::string(), flags, answer});
    return answer;
}

void InfoBox(const std::string& text) { MsgBox(text, AppTitle(), MB_OK + MB_ICONINFORMATION); }

void WarningBox(const std::string& text) { MsgBox(text, AppTitle(), MB_OK + MB_ICONWARNING); }

void ErrorBox(const std::string& text) { MsgBox(text, AppTitle(), MB_OK + MB_ICONERROR); }

void ExceptionBox(const std::string& prefix) {
    std::string message;
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            message = e.what();
        } catch (...) {
            message = "Unknown exception.";
        }
    }
    if (message.size() > EXCEPTION_TEXT_MAX) message.resize(EXCEPTION_TEXT_MAX);
    ErrorBox(prefix + message);
}

char YesNo(const std::string& text, int32_t def) {
    const int32_t flags = def == 1 ? MB_YESNO + MB_ICONQUESTION
                                   : MB_YESNO + MB_ICONQUESTION + MB_DEFBUTTON2;
    return MsgBox(text, AppTitle(), flags) == ID_YES ? 'Y' : 'N';
}

char YesNoCancel(const std::string& text, int32_t def) {
    const int32_t flags = MB_YESNOCANCEL + MB_ICONQUESTION +
                          (def == 1   ? 0
                           : def == 2 ? MB_DEFBUTTON2
                                      : MB_DEFBUTTON3);
    switch (MsgBox(text, AppTitle(), flags)) {
        case ID_YES: return 'Y';
        case ID_NO: return 'N';
        default: return 'C';
    }
}

// --- File names and dialogs -----------------------------------------------------------------

void FilterToExt(const std::string& filter, int32_t index, std::string& ext) {
    ext.clear();
    if (index < 1) return;
    // The pattern of entry n follows the (2n - 1)-th "|".
    size_t pos = 0;
    for (int64_t bars = 2 * int64_t{index} - 1; bars > 0; --bars) {
        const size_t bar = filter.find('|', pos);
        if (bar == std::string::npos) return;
        pos = bar + 1;
    }
    const size_t end = filter.find('|', pos);
    const std::string pattern = TrimText(
        filter.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    const size_t dot = pattern.find('.');
    if (dot == std::string::npos) return;
    const size_t stop = pattern.find_first_of(";,", dot);
    const std::string e = TrimText(
        pattern.substr(dot, stop == std::string::npos ? std::string::npos : stop - dot));
    if (e.find('*') == std::string::npos) ext = e;
}

void CompleteName(const std::string& name, const std::string& filter, int32_t index,
                  std::string& out, bool force) {
    std::string ext;
    FilterToExt(filter, index, ext);
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    // An entry such as "any file" names no extension and must not strip the one typed.
    out = !ext.empty() && (force || !hasExt) ? ForceFileExt(name, ext) : name;
}

std::vector<std::string> FilterToDialog(const std::string& filter) {
    std::vector<std::string> list;
    size_t pos = 0;
    while (pos < filter.size()) {
        const size_t bar = filter.find('|', pos);
        std::string name = TrimText(
            filter.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos));
        std::string pattern;
        pos = filter.size();
        if (bar != std::string::npos) {
            const size_t next = filter.find('|', bar + 1);
            pattern = TrimText(filter.substr(
                bar + 1, next == std::string::npos ? std::string::npos : next - bar - 1));
            if (next != std::string::npos) pos = next + 1;
        }
        if (name.empty() && pattern.empty()) continue;
        std::string joined;
        size_t p = 0;
        while (p <= pattern.size()) {
            const size_t sep = pattern.find_first_of(";,", p);
            const std::string one = TrimText(
                pattern.substr(p, sep == std::string::npos ? std::string::npos : sep - p));
            if (!one.empty()) joined += (joined.empty() ? "" : " ") + one;
            if (sep == std::string::npos) break;
            p = sep + 1;
        }
        if (joined.empty()) joined = "*";
        // A name that already lists its patterns ("BMP (*.bmp;*.dib)") gets the list once.
        const std::string listed = " (" + pattern + ")";
        if (name.size() > listed.size() &&
            name.compare(name.size() - listed.size(), listed.size(), listed) == 0)
            name.resize(name.size() - listed.size());
        list.push_back(name + " (" + joined + ")");
    }
    return list;
}

bool FileOpenDlg(const std::string& title, std::string& dir, const std::string& filter,
                 std::string& fileName, int32_t& filterIndex) {
    return FileDlg_(false, title, dir, std::string(), filter, fileName, filterIndex);
}

bool FileSaveDlg(const std::string& title, std::string& dir, const std::string& initialName,
                 std::string& fileName, int32_t& filterIndex, const std::string& filter) {
    return FileDlg_(true, title, dir, initialName, filter, fileName, filterIndex);
}

// --- Controls and painting -------------------------------------------------------------------

void SetHint(QWidget* button, const std::string& text) {
    if (button) button->setToolTip(Q_(text));
}

void ClearDC(QPainter& dc, int32_t left, int32_t top, int32_t width, int32_t height, uint32_t colour) {
    if (width <= 0 || height <= 0) return;
    dc.fillRect(left, top, width, height,
                QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF));
}

void TEdit_SetInt(QLineEdit* edit, int32_t value) {
    if (edit) edit->setText(QString::number(value));
}

int32_t TEdit_GetInt(QLineEdit* edit, int32_t def) {
    if (!edit) return def;
    std::string text = TrimText(S_(edit->text()));
    if (!text.empty() && text[0] == '+') text.erase(0, 1);
    int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value);
    return text.empty() || ec != std::errc() || stop != end ? def : value;
}

void TEdit_SetFloat(QLineEdit* edit, double value) {
    if (!edit) return;
    edit->setText(Q_(TrimFloatToStr(0, 50, value)));
    if (!edit->property("kvNoAutoSelect").toBool()) {
        edit->installEventFilter(new NoAutoSelect_(edit));
        edit->setProperty("kvNoAutoSelect", true);
    }
}

double TEdit_GetFloat(QLineEdit* edit, double def) {
    return edit ? StrToFloatDef(S_(edit->text()), def) : def;
}

void TEdit_Enable(QLineEdit* edit, bool enabled) {
    if (!edit) return;
    edit->setEnabled(enabled);
    QPalette palette = edit->palette();
    const QPalette normal = QApplication::palette();
    palette.setColor(QPalette::Base, normal.color(enabled ? QPalette::Base : QPalette::Button));
    edit->setPalette(palette);
}

void WaitCursorOn() {
    if (!OnWindowThread_() || gWaitCursor) return;
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    gWaitCursor = true;
}

void WaitCursorOff() {
    if (!OnWindowThread_() || !gWaitCursor) return;
    QApplication::restoreOverrideCursor();
    gWaitCursor = false;
}

bool IsLowColor(const QPaintDevice* device) {
    if (const char* e = std::getenv("KELVORA_SCREEN_DEPTH")) {
        const long depth = std::strtol(e, nullptr, 10);
        if (depth > 0) return depth < 15;
    }
    int depth = 32;
    if (device)
        depth = device->depth();
    else if (qGuiApp && QGuiApplication::primaryScreen())
        depth = QGuiApplication::primaryScreen()->depth();
    return depth < 15;
}

}  // namespace kelvora
