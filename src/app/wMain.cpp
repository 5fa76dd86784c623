#include "app/wMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QSlider>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <thread>

#include "app/CtlEx.h"
#include "app/Glyphs.h"
#include "app/Logo.h"
#include "app/VCLUtils.h"
#include "app/WinUtils.h"
#include "app/ctlpopup.h"
#include "app/informer.h"
#include "app/wFileAss.h"
#include "app/wNotepad.h"
#include "formats/FileFmtDef.h"
#include "kelvora_version.h"
#include "platform/PostedMessage.h"
#include "player/HplDisplay.h"
#include "player/HplMain.h"
#include "runtime/Errors.h"
#include "runtime/miscprocs.h"

namespace kelvora {

const char* const MAIN_WINDOW_CLASS = "TfrmKelvora";
const char* const HOME_PAGE = "https://kelvora.example.org/";

namespace {

constexpr const char* FORM_NAME = "frmKelvora";
constexpr const char* PROGRAM_NAME = "Kelvora";
constexpr int32_t DESIGN_WIDTH = 308;
constexpr int32_t DESIGN_HEIGHT = 86;
constexpr int32_t LOGO_CANVAS_WIDTH = 200;
constexpr int32_t LOGO_CANVAS_HEIGHT = 150;
constexpr int32_t GLYPH_SIZE = 16;
constexpr double STATUS_INTERVAL = 0.2;  // seconds between status updates while playing
constexpr int32_t PLAY_DELAY_MS = 200;   // between a channel's open and its play
constexpr int32_t CHANNEL_CLOSED_ANSWER = 3;
constexpr int32_t ERROR_TEXT_MAX = 1024;

const char* const LOW_COLOR_WARNING =
    "Your screen currently can't show High Color and True Color images in their full quality! "
    "\r\n\r\n"
    "To increase the quality open Display Properties from Control Panel and set the display color "
    "depth "
    "to High Color or True Color. You can disable this warning in the Options dialog.";

// The window the player's callbacks report to.
std::atomic<TfrmKelvora*> gForm{nullptr};

// Rounds to nearest, ties to even, kept inside 32 bits (NaN gives 0).
int32_t Round32_(double v) {
    if (!(v == v)) return 0;
    return static_cast<int32_t>(std::nearbyint(std::clamp(v, -2147483648.0, 2147483647.0)));
}

// Truncates toward zero, kept inside 32 bits (NaN gives 0).
int32_t Trunc32_(double v) {
    if (!(v == v)) return 0;
    return static_cast<int32_t>(std::trunc(std::clamp(v, -2147483648.0, 2147483647.0)));
}

std::string FixedTwo_(double v) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 2);
    return ec == std::errc() ? std::string(buf, end) : std::string("0.00");
}

QString Q_(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Runs an event's command; an error that leaves the command's frames is shown with its text.
template <class Body>
void Handle_(Body&& body) {
    try {
        Monitored(body);
    } catch (const std::exception& e) {
        ErrorBox(e.what());
    }
}

// The virtual-key code of a Qt key, 0 for keys the window does not handle.
int32_t VirtualKey_(int key) {
    switch (key) {
        case Qt::Key_Return:
        case Qt::Key_Enter: return VK_RETURN;
        case Qt::Key_Escape: return VK_ESCAPE;
        case Qt::Key_Space: return VK_SPACE;
        case Qt::Key_PageUp: return VK_PRIOR;
        case Qt::Key_PageDown: return VK_NEXT;
        case Qt::Key_End: return VK_END;
        case Qt::Key_Home: return VK_HOME;
        case Qt::Key_Left: return VK_LEFT;
        case Qt::Key_Up: return VK_UP;
        case Qt::Key_Right: return VK_RIGHT;
        case Qt::Key_Down: return VK_DOWN;
        case Qt::Key_Insert: return VK_INSERT;
        case Qt::Key_F5: return VK_F5;
        case Qt::Key_F10: return VK_F10;
        default: return 0;
    }
}

}  // namespace

// --- Creation ---------------------------------------------------------------------------------

TfrmKelvora::TfrmKelvora(const std::string& settingsFile, QWidget* parent)
    : QWidget(parent, Qt::Window), settingsFile_(settingsFile) {
    onQuit = [this] { QCoreApplication::exit(exitStatus_); };
    CreateControls_();
    Creation_();
}

TfrmKelvora::~TfrmKelvora() {
    playerExists_ = false;
    // The worker is gone once HplDestroy returns; only then may the window go.
    HplDestroy(player_);
    for (int32_t ch = 0; ch < 3; ++ch) IPC_DataReset(channels_[ch], ch);
    TfrmKelvora* self = this;
    gForm.compare_exchange_strong(self, nullptr);
}

QToolButton* TfrmKelvora::MakeButton_(int32_t glyph, int32_t left, void (TfrmKelvora::*command)()) {
    auto* b = new QToolButton(this);
    b->setGeometry(left, 30, 26, 24);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    b->setIcon(GlyphIcon(glyph, GLYPH_SIZE));
    b->setIconSize(QSize(GLYPH_SIZE, GLYPH_SIZE));
    connect(b, &QToolButton::clicked, this,
            [this, command] { Handle_([&] { (this->*command)(); }); });
    return b;
}

// The form as designed: client area 308 x 86, the design-time bar, the buttons and the panels.
void TfrmKelvora::CreateControls_() {
    setObjectName(FORM_NAME);
    setFixedSize(DESIGN_WIDTH, DESIGN_HEIGHT);
    setFocusPolicy(Qt::StrongFocus);

    // The design-time bar, replaced by a QTrackBar2 at creation.
    designBar_ = new QSlider(Qt::Horizontal, this);
    designBar_->setGeometry(-1, 0, 310, 28);
    designBar_->setTickPosition(QSlider::NoTicks);

    btnPlay = MakeButton_(GLYPH_PLAY, 5, &TfrmKelvora::StartPlaying);
    btnPause = MakeButton_(GLYPH_PAUSE, 31, &TfrmKelvora::Pause);
    btnEject = MakeButton_(GLYPH_EJECT, 57, &TfrmKelvora::EvEject);
    btntoStart = MakeButton_(GLYPH_TO_START, 89, &TfrmKelvora::JumpToStart);
    btnFastBack = MakeButton_(GLYPH_FAST_BACK, 115, &TfrmKelvora::LargeStepBackward);
    btn1Back = MakeButton_(GLYPH_ONE_BACK, 141, &TfrmKelvora::SmallStepBackward);
    btn1Forward = MakeButton_(GLYPH_ONE_FORWARD, 167, &TfrmKelvora::SmallStepForward);
    btnFastFwd = MakeButton_(GLYPH_FAST_FORWARD, 193, &TfrmKelvora::LargeStepForward);
    btnToEnd = MakeButton_(GLYPH_TO_END, 219, &TfrmKelvora::JumpToEnd);
    btnInfo = MakeButton_(GLYPH_INFO, 251, &TfrmKelvora::FileInformation);
    btnOptions = MakeButton_(GLYPH_OPTIONS, 277, &TfrmKelvora::Options);

    const auto panel = [this](int32_t left, int32_t width) {
        auto* p = new QLabel(this);
        p->setGeometry(left, 59, width, 24);
        p->setAutoFillBackground(true);
        QPalette pal = p->palette();
        pal.setColor(QPalette::Window, Qt::black);
        pal.setColor(QPalette::WindowText, QColor(0, 255, 0));
        p->setPalette(pal);
        // A thin sunken edge: a plain frame would take the lime of the text.
        p->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        p->setLineWidth(1);
        p->setFont(QFont("Arial", 10));
        p->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        p->setTextFormat(Qt::PlainText);
        return p;
    };
    panLeft = panel(5, 153);
    panRight = panel(160, 142);
}

void TfrmKelvora::Creation_() {
    gForm = this;
    uninstalling_ = false;
    closeAfterPlaying_ = false;
    HplSetErrorBoxProc(ErrorBox);
    MonitoredIsolated([&] {
        for (int32_t ch = 0; ch < 3; ++ch) IPC_DataReset(channels_[ch], ch);
        bar1 = CloneTrackBar2(designBar_, true);
        designBar_ = nullptr;
        bar1->setObjectName("bar1");
        bar1->setFocusPolicy(Qt::NoFocus);
        bar1->SetOnChange([this](QTrackBar2*) { Handle_([&] { BarChanged_(); }); });
        w0_ = width();
        h0_ = height();
        buttonOffset_ = h0_ - btnPlay->y();
        panelOffset_ = h0_ - panLeft->y();
        barOffset_ = h0_ - bar1->y();
        barWidth0_ = bar1->width();
        panPicture = new QFrame(this);
        panPicture->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panPicture->setLineWidth(2);
        panPicture->setAutoFillBackground(true);
        QPalette pal = panPicture->palette();
        pal.setColor(QPalette::Window, Qt::black);
        panPicture->setPalette(pal);
        panPicture->hide();  // shown by the first sizing to a picture
        player_ = HplCreate(this);
        playerExists_ = player_ != nullptr;
        HplSetCallback(player_, PlayCBF, nullptr);
        HplSetMouseCallback(player_, DisplayEvent, nullptr);
        firstActivation_ = true;
        closing_ = false;
        programPath_ = QCoreApplication::applicationFilePath().toStdString();  // published by the settings
        SetHint(btnPlay, "Play");
        SetHint(btnPause, "Pause");
        SetHint(btntoStart, "Jump to the start");
        SetHint(btnToEnd, "Jump to the end");
        SetHint(btnFastFwd, "Large step forward");
        SetHint(btnFastBack, "Large step backward");
        SetHint(btn1Back, "Small step backward");
        SetHint(btn1Forward, "Small step forward");
        SetHint(btnEject, "Open file");
        SetHint(btnInfo, "File Information");
        SetHint(btnOptions, "Options");
        if (settingsFile_.empty()) settingsFile_ = SettingsFileName();
        SettingsLoad(settings_, settingsFile_);
        filterIndex_ = 0;
        HplSetDisplay(player_, panPicture, 0, 0, 32, 32);
        if (IsLowColor(nullptr) && settings_.warningLowColor) WarningBox(LOW_COLOR_WARNING);
        ResetNoFile(false);
    });
    ShowPlayerError();
    ShowPendingError();
    // The command line runs at the first idle moment, once the window is up.
    ::QTimer::singleShot(0, this, [this] { PostMessageTo(this, UM_COMMANDLINE, 0, 0); });
}

void TfrmKelvora::FirstActivation_() {
    if (!firstActivation_) return;
    firstActivation_ = false;
    // A file the command line has already opened keeps its picture.
    if (!HplIsOpen(player_)) Handle_([&] { DisplayLogo(); });
}

// --- Events -------------------------------------------------------------------------------------

bool TfrmKelvora::event(QEvent* e) {
    if (e->type() == PostedMessage::EventType()) {
        const auto* m = static_cast<const PostedMessage*>(e);
        Handle_([&] { HandleMessage(m->message, m->wParam, m->lParam); });
        return true;
    }
    if (e->type() == QEvent::WindowActivate) FirstActivation_();
    return QWidget::event(e);
}

void TfrmKelvora::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    FirstActivation_();
}

void TfrmKelvora::keyPressEvent(QKeyEvent* e) {
    int32_t key = VirtualKey_(e->key());
    if (key == 0) {
        QWidget::keyPressEvent(e);
        return;
    }
    Handle_([&] { FormKeyDown(key); });
    e->accept();
}

void TfrmKelvora::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::RightButton) {
        Handle_([&] { PopupMenu(); });
        e->accept();
        return;
    }
    QWidget::mousePressEvent(e);
}

void TfrmKelvora::closeEvent(QCloseEvent* e) {
    Handle_([&] { QuitProgram(); });
    e->accept();
}

void TfrmKelvora::FormKeyDown(int32_t& key) {
    switch (key) {
        case VK_RETURN: StartPlaying(); break;
        case VK_ESCAPE: Pause(); break;
        case VK_SPACE: PlayPause(); break;
        case VK_PRIOR: LargeStepBackward(); break;
        case VK_NEXT: LargeStepForward(); break;
        case VK_END: JumpToEnd(); break;
        case VK_HOME: JumpToStart(); break;
        case VK_LEFT:
        case VK_UP: SmallStepBackward(); break;
        case VK_RIGHT:
        case VK_DOWN: SmallStepForward(); break;
        case VK_INSERT: EvEject(); break;
        case VK_F5: FileInformation(); break;
        case VK_F10: Options(); break;
        default: return;
    }
    key = 0;
}

void TfrmKelvora::PopupMenu() { RunCommand(PopupDisplay(-1, -1, popup_)); }

void TfrmKelvora::RunCommand(int32_t id) {
    switch (id) {
        case CMD_PLAY: StartPlaying(); break;
        case CMD_PAUSE: Pause(); break;
        case CMD_OPEN: EvEject(); break;
        case CMD_CLOSE: CloseFile(); break;
        case CMD_TO_START: JumpToStart(); break;
        case CMD_FAST_BACK: LargeStepBackward(); break;
        case CMD_ONE_BACK: SmallStepBackward(); break;
        case CMD_ONE_FORWARD: SmallStepForward(); break;
        case CMD_FAST_FORWARD: LargeStepForward(); break;
        case CMD_TO_END: JumpToEnd(); break;
        case CMD_INFO: FileInformation(); break;
        case CMD_OPTIONS: Options(); break;
        case CMD_EXIT: QuitProgram(); break;
        default: break;
    }
}

void TfrmKelvora::HandleMessage(uint32_t message, uint32_t wParam, int32_t lParam) {
    switch (message) {
        case UM_COMMANDLINE: ProcessCommandLine(); break;
        case UM_REPLAY:
            // A pause after the run ended has the last word.
            if (!stopRequested_) PlayNext();
            break;
        case UM_PLAYSTOPPED:
            // The notice may arrive after the file was closed or a new run started; the
            // controls then already show the right state.
            if (HplIsOpen(player_) && HplGetState(player_) == HPL_STOPPED) StopPlaying();
            ShowPendingError();
            break;
        case UM_SHOWFPS: SetPanelRight(" " + FixedTwo_(lParam * 0.001) + " fps"); break;
        case UM_SHOWFRAME: {
            const int32_t n = std::max(std::min(lParam, frameCount_ - 1), 0);
            SetPanelRight(NumToStr(static_cast<uint32_t>(n) + 1, 100) + " / " +
                          NumToStr(static_cast<uint32_t>(std::max(frameCount_, 0)), 100));
            break;
        }
        case UM_SHOWTIME:
            SetPanelLeft(SecToStr(23, lParam) + " - " + SecToStr(23, duration_));
            break;
        case UM_SHOWPOSITION:
            if (bar1->Released()) {
                barSetting_ = true;
                bar1->setValue(lParam > 0 ? lParam - 1 : 0);
                barSetting_ = false;
            }
            break;
        case UM_IPCDATA:
            for (int32_t ch = 0; ch < 3; ++ch) {
                bool complete = false;
                MonitoredIsolated([&] { complete = IPC_DataReceive(wParam, lParam, channels_[ch]); });
                if (!complete) continue;
                std::string text;
                IPC_GetAsString(channels_[ch], text);
                IPC_DataReset(channels_[ch], ch);
                ChannelAction_(ch, text);
            }
            break;
        case UM_PLAYERERROR:
            if (errorPending_.exchange(false)) ShowPlayerError();
            break;
        case WM_CLOSE: close(); break;
        default: break;
    }
}

void TfrmKelvora::ChannelAction_(int32_t channel, const std::string& text) {
    switch (channel) {
        case 0:
            if (!text.empty()) OpenMediaFile(text);
            break;
        case 1:
            // The wait keeps the event loop running.
            if (!text.empty() && OpenMediaFile(text))
                ::QTimer::singleShot(PLAY_DELAY_MS, this,
                                     [this] { Handle_([&] { StartPlaying(); }); });
            break;
        case 2:
            CloseFile();
            // The answer goes out on a thread of its own: a requester slow to accept must not
            // hold the window up.
            std::thread([requester = text] {
                IPC_DataSendInt(requester, CHANNEL_CLOSED_ANSWER, -1);
            }).detach();
            break;
        default: break;
    }
}

void TfrmKelvora::ProcessCommandLine() {
    std::string line, verb, argument;
    int32_t pos = 0;
    CmdLine_Get(line, pos);
    for (;;) {
        const int32_t before = pos;
        if (!CmdLine_CmdNext(line, verb, argument, pos)) break;
        const std::string v = LowerText(verb);
        if (v == "open") {
            OpenMediaFile(argument);
        } else if (v == "play" || v.empty()) {
            if (OpenMediaFile(argument)) StartPlaying();
        } else if (v == "playclose") {
            if (OpenMediaFile(argument)) {
                closeAfterPlaying_ = true;
                StartPlaying();
            } else if (VclHeadless_()) {
                // Nobody can close a window that nobody sees: with nothing to play, end here
                // (the message went to standard error), with a failure status.
                exitStatus_ = 1;
                QuitProgram();
                return;
            }
        } else if (v == "uninst") {
            FasRestoreAll();
            uninstalling_ = true;
            QuitProgram();
            return;
        } else if (v == "inst") {
            QuitProgram();
            return;
        }
        if (pos <= before) break;  // an item that does not advance would repeat for ever
    }
}

// --- Display ------------------------------------------------------------------------------------

void TfrmKelvora::EnableButtons(bool play, bool pause, bool open, bool backward, bool forward,
                                bool options) {
    try {
        popup_.clear();
        for (QToolButton* b : {btnPlay, btnInfo}) b->setEnabled(play);
        btnPause->setEnabled(pause);
        btnEject->setEnabled(open);
        for (QToolButton* b : {btntoStart, btnFastBack, btn1Back}) b->setEnabled(backward);
        for (QToolButton* b : {btn1Forward, btnFastFwd, btnToEnd}) b->setEnabled(forward);
        btnOptions->setEnabled(options);
        if (play) PopupAddItem(popup_, "Play", CMD_PLAY);
        if (pause) PopupAddItem(popup_, "Pause", CMD_PAUSE);
        if (open) PopupAddItem(popup_, "Open File...", CMD_OPEN);
        if (play) {
            PopupAddItem(popup_, "Close File", CMD_CLOSE);
            PopupAddItem(popup_, "File Information...", CMD_INFO);
        }
        if (backward) {
            PopupAddItem(popup_, "Jump to Start", CMD_TO_START);
            PopupAddItem(popup_, "Large Step Backward", CMD_FAST_BACK);
            PopupAddItem(popup_, "Small Step Backward", CMD_ONE_BACK);
        }
        if (forward) {
            PopupAddItem(popup_, "Small Step Forward", CMD_ONE_FORWARD);
            PopupAddItem(popup_, "Large Step Forward", CMD_FAST_FORWARD);
            PopupAddItem(popup_, "Jump to End", CMD_TO_END);
        }
        if (options) {
            PopupAddItem(popup_, "-", 0);
            PopupAddItem(popup_, "Options...", CMD_OPTIONS);
            PopupAddItem(popup_, "-", 0);
        }
        PopupAddItem(popup_, "Exit", CMD_EXIT);
    } catch (...) {
        ExceptionBox("EnableButtons: ");
    }
}

void TfrmKelvora::SetTitle(const std::string& displayName, bool playing) {
    const std::string title = displayName.empty() ? std::string(PROGRAM_NAME) + " " + KV_VERSION
                                                  : displayName + " - " + PROGRAM_NAME +
                                                        (playing ? " (playing)" : " (paused)");
    setWindowTitle(Q_(title));
    AppTitleSet(title);
}

void TfrmKelvora::SetPanelLeft(const std::string& text) { panLeft->setText(Q_(" " + text)); }

void TfrmKelvora::SetPanelRight(const std::string& text) { panRight->setText(Q_(" " + text)); }

void TfrmKelvora::ShowControls(bool visible) {
    bar1->setVisible(visible);
    for (QToolButton* b : {btnPlay, btnPause, btnEject, btntoStart, btnFastBack, btn1Back,
                           btn1Forward, btnFastFwd, btnToEnd, btnInfo, btnOptions})
        b->setVisible(visible);
    panLeft->setVisible(visible);
    panRight->setVisible(visible);
    controlsVisible_ = visible;
}

void TfrmKelvora::ControlsMove() {
    try {
        const int32_t h = height();
        for (QObject* child : children()) {
            if (auto* b = qobject_cast<QToolButton*>(child)) b->move(b->x(), h - buttonOffset_);
        }
        panLeft->move(panLeft->x(), h - panelOffset_);
        panRight->move(panRight->x(), h - panelOffset_);
        bar1->move(bar1->x(), h - barOffset_);
    } catch (...) {
        ExceptionBox("ControlsMove: ");
    }
}

void TfrmKelvora::ResizeWindow(int32_t w, int32_t h, bool keepBar) {
    try {
        ShowControls(true);
        int32_t cw = w0_, ch = barOffset_ + 4;
        if (w <= 0 || h <= 0) {
            setFixedSize(cw, ch);
            ControlsMove();
            panPicture->hide();
        } else {
            cw = std::max(w + 16, w0_);
            ch = std::max(h + barOffset_ + 16, h0_ + 6);
            setFixedSize(cw, ch);
            ControlsMove();
            panPicture->setLineWidth(2);
            panPicture->setGeometry(2, 0, cw - 4, h + 12);
            panPicture->show();
            HplSetDisplayPos(player_, (panPicture->width() - w) / 2, 6, w, h);
            HplSetBackColor(player_, 0);
        }
        if (!keepBar) {
            bar1->move(bar1->x(), ch - barOffset_);
            bar1->resize(cw - w0_ + barWidth0_, bar1->height());
        }
        // Pending messages are not processed here: the command line could then run in the
        // middle of showing the logo and have its file covered by it.
        update();
    } catch (...) {
        ExceptionBox("ResizeWindow: ");
    }
}

void TfrmKelvora::SetTrackRange(int32_t maximum) {
    barSetting_ = true;
    bar1->setMinimum(0);
    bar1->setMaximum(std::max(maximum, 0));
    bar1->setSingleStep(1000);
    bar1->setPageStep(1000);
    bar1->setValue(0);
    bar1->setEnabled(maximum > 0);
    barSetting_ = false;
}

void TfrmKelvora::PostStatus() {
    if (!playerExists_) return;
    HplPlayer* p = player_;
    if (settings_.showFrameRate)
        PostMessageTo(this, UM_SHOWFPS, 0, Round32_(HplGetActualRate(p) * 1000));
    else
        PostMessageTo(this, UM_SHOWFRAME, 0, Trunc32_(HplGetPos(p, HPL_UNIT_FRAMES)));
    const double seconds = HplGetPos(p, HPL_UNIT_SECONDS);
    PostMessageTo(this, UM_SHOWTIME, 0, Round32_(seconds));
    PostMessageTo(this, UM_SHOWPOSITION, 0, Round32_(seconds * 1000));
}

void TfrmKelvora::DisplayLogo() {
    Qimg logo{}, big{};
    Monitored([&] {
        const uint8_t* block = nullptr;
        int64_t size = 0;
        LogoGetBlock(block, size);
        ImgFromFn(block, size, logo);
        _imgalloc_(big, LOGO_CANVAS_WIDTH, LOGO_CANVAS_HEIGHT, "wMain.DisplayLogo.logobig",
                   __LINE__, logo.bitsPP);
        std::memset(big.data, 0, static_cast<size_t>(big.size));
        // A logo larger than the canvas loses the same amount on both sides.
        ImgInsert(logo, big, (LOGO_CANVAS_WIDTH - logo.width) / 2,
                  (LOGO_CANVAS_HEIGHT - logo.height) / 2);
        ImgCopyPalette(logo, big);
        ResizeWindow(LOGO_CANVAS_WIDTH, LOGO_CANVAS_HEIGHT, false);
        HplShowImage(player_, big);
        ImgFree(logo);
        ImgFree(big);
    });
    noFile_ = true;
    SetPanelLeft(" Time");
    SetPanelRight(" Frame");
}

void TfrmKelvora::ResetNoFile(bool withLogo) {
    duration_ = 0;
    frameCount_ = 0;
    displayName_.clear();
    frameRate_ = 15.0;
    SetTitle(displayName_, false);
    EnableButtons(false, false, true, false, false, true);
    SetTrackRange(0);
    if (withLogo) DisplayLogo();
}

void TfrmKelvora::ShowPlayerError() {
    if (!playerExists_ || HplGetResult(player_)) return;
    errorPending_ = false;
    char text[ERROR_TEXT_MAX + 1];
    HplGetErrorText(player_, text, sizeof text);
    ErrorBox(text);
}

void TfrmKelvora::ShowPendingError() {
    if (!ErrNone()) ErrorBox(ErrLastText());
}

void TfrmKelvora::BarChanged_() {
    if (barSetting_ || !bar1->Released()) return;
    WaitCursorScope wait;
    int32_t p = bar1->value();
    if (p > 0 && p < bar1->maximum()) ++p;
    HplSeek(player_, HPL_UNIT_SECONDS, p * 0.001);
    PostStatus();
    atEnd_ = false;
    ShowPlayerError();
}

// --- Opening and playing ------------------------------------------------------------------------

void TfrmKelvora::ComputeFrameRate_() {
    double rate = info_.kind == UNI_STILL || info_.kind == UNI_SEQUENCE ? settings_.imgFrameRate
                                                                        : info_.img.frameRate;
    if (!(rate >= FRAME_RATE_MIN)) rate = FRAME_RATE_MIN;  // NaN included
    frameRate_ = std::min(rate, FRAME_RATE_MAX);
}

void TfrmKelvora::ComputeDuration_() {
    const double video = frameCount_ / frameRate_;
    const double sound = std::isfinite(info_.snd.duration) ? info_.snd.duration : 0.0;
    int32_t maximum = 0;
    if (video >= sound) {
        duration_ = video;
        maximum = Trunc32_((frameCount_ - 1) / frameRate_ * 1000);
    } else {
        duration_ = sound;
        maximum = Trunc32_(sound * 1000);
    }
    SetTrackRange(maximum);
}

bool TfrmKelvora::OpenMediaFile(const std::string& fileName) {
    bool ok = false;
    MonitoredIsolated([&] {
        Pause();
        noFile_ = false;
        {
            WaitCursorScope wait;
            HplOpen(player_, fileName);
        }
        if (!HplGetResult(player_)) {
            ShowPlayerError();
            frameCount_ = 0;
            duration_ = 0;
            EnableButtons(false, false, true, false, false, true);
            ResetNoFile(true);
            noFile_ = true;
            return;
        }
        HplGetInfo(player_, info_);
        if (info_.img.hasVideo && info_.img.videoSupported)
            ResizeWindow(info_.img.width, info_.img.height, false);
        else
            ResizeWindow(0, 0, false);
        const std::string& name = info_.fileName.empty() ? fileName : info_.fileName;
        const size_t slash = name.rfind('/');
        displayName_ = slash == std::string::npos ? name : name.substr(slash + 1);
        SetTitle(displayName_, false);
        ComputeFrameRate_();
        frameCount_ = std::max(info_.img.frames, 0);
        ComputeDuration_();
        EnableButtons(true, false, true, true, true, true);
        PostStatus();
        if (!settings_.audioEnabled) SetPanelRight("Audio Disabled");
        atEnd_ = false;
        noFile_ = false;
        ok = true;
    });
    return ok && ErrNone();
}

void TfrmKelvora::EvEject() {
    if (!btnEject->isEnabled()) return;
    try {
        Pause();
        QCoreApplication::processEvents();
        std::string filter, name;
        FFMakeLoadFilter(0, FF_FILTER_LIST, filter);
        FileOpenDlg("Open a File", settings_.fileOpenDir, filter, name, filterIndex_);
        QCoreApplication::processEvents();
        if (!name.empty())
            OpenMediaFile(name);
        else if (!HplIsOpen(player_))
            ResetNoFile(true);
    } catch (...) {
        ExceptionBox("EvEject: ");
    }
}

void TfrmKelvora::Pause() {
    if (!btnPause->isEnabled()) return;
    atEnd_ = HplAtEnd(player_);
    stopRequested_ = true;
    HplStop(player_);
    StopPlaying();
    ShowPlayerError();
}

void TfrmKelvora::StopPlaying() {
    EnableButtons(true, false, true, true, true, true);
    SetTitle(displayName_, false);
    PostStatus();
}

void TfrmKelvora::StartPlaying() {
    repeat_ = settings_.repeatForever ? REPEAT_FOREVER : settings_.repeatPlaying;
    if (duration_ < 0.1) repeat_ = 1;
    PlayNext();
}

void TfrmKelvora::PlayNext() {
    Pause();
    if (!btnPlay->isEnabled()) return;
    if (!info_.img.hasVideo && !info_.img.videoSupported && !settings_.audioEnabled) {
        if (YesNo("Audio playing is disabled, do you want to enable it?", 1) != 'Y') return;
        settings_.audioEnabled = true;
    }
    EnableButtons(false, true, true, true, true, false);
    SetTitle(displayName_, true);
    HplSetEveryFrame(player_, settings_.playMode);
    HplSetFrameRate(player_, frameRate_);
    HplSetStreams(player_, true, settings_.audioEnabled);
    lastStatus_ = 0;
    TimerStart(stopwatch_);
    if (atEnd_) HplSeek(player_, HPL_UNIT_SECONDS, 0);
    stopRequested_ = false;
    HplPlay(player_);
    if (HplGetState(player_) != HPL_PLAYING) StopPlaying();
    ShowPlayerError();
}

void TfrmKelvora::PlayPause() {
    if (closing_) return;
    const int32_t state = HplGetState(player_);
    if (state == HPL_STOPPED && btnPlay->isEnabled())
        StartPlaying();
    else if (state == HPL_PLAYING && btnPause->isEnabled())
        Pause();
}

void TfrmKelvora::JumpToStart() {
    if (!btntoStart->isEnabled()) return;
    HplSeek(player_, HPL_UNIT_SECONDS, 0);
    PostStatus();
    ShowPlayerError();
}

void TfrmKelvora::JumpToEnd() {
    if (!btnToEnd->isEnabled()) return;
    WaitCursorScope wait;
    HplSeek(player_, HPL_UNIT_SECONDS, duration_ + 1);
    PostStatus();
    atEnd_ = false;
    ShowPlayerError();
}

void TfrmKelvora::SmallStepForward() {
    if (!btn1Forward->isEnabled()) return;
    if (frameCount_ > 0)
        HplSeekBy(player_, HPL_UNIT_FRAMES, 1);
    else
        HplSeekBy(player_, HPL_UNIT_SECONDS, 1);
    PostStatus();
    atEnd_ = false;
    ShowPlayerError();
}

void TfrmKelvora::SmallStepBackward() {
    if (!btn1Back->isEnabled()) return;
    WaitCursorScope wait;
    if (frameCount_ > 0)
        HplSeekBy(player_, HPL_UNIT_FRAMES, -1);
    else
        HplSeekBy(player_, HPL_UNIT_SECONDS, -1);
    PostStatus();
    atEnd_ = false;
    ShowPlayerError();
}

void TfrmKelvora::LargeStepForward() {
    if (!btnFastFwd->isEnabled()) return;
    WaitCursorScope wait;
    HplSeekBy(player_, HPL_UNIT_SECONDS, 10);
    PostStatus();
    atEnd_ = false;
    ShowPlayerError();
}

void TfrmKelvora::LargeStepBackward() {
    if (!btnFastBack->isEnabled()) return;
    WaitCursorScope wait;
    HplSeekBy(player_, HPL_UNIT_SECONDS, -10);
    PostStatus();
    atEnd_ = false;
    ShowPlayerError();
}

void TfrmKelvora::CloseFile() {
    Pause();
    HplClose(player_);
    ResetNoFile(true);
}

void TfrmKelvora::FileInformation() {
    if (!btnInfo->isEnabled()) return;
    InfoListInit();
    InfoListAdd(info_);
    DlgNotepadInfo("File info", false, 2);
    InfoListDone();
}

void TfrmKelvora::Options() {
    if (!btnOptions->isEnabled()) return;
    Monitored([&] {
        ShowOptionsDialog(settings_, frameRate_);
        SettingsSave(settings_, settingsFile_, programPath_, uninstalling_);
        if (!noFile_) {
            ComputeDuration_();
            PostStatus();
        }
    });
}

void TfrmKelvora::QuitProgram() {
    if (quitDone_) return;
    quitDone_ = true;
    Monitored([&] {
        closing_ = true;
        WaitCursorOn();
        SettingsSave(settings_, settingsFile_, programPath_, uninstalling_);
        Pause();
        playerExists_ = false;
        HplDestroy(player_);
        HplDone();
    });
    WaitCursorOff();
    if (onQuit) onQuit();
    close();
}

// --- Player callbacks ---------------------------------------------------------------------------

void TfrmKelvora::PlayerStatus_() {
    HplPlayer* p = player_;
    try {
        const int32_t state = HplGetState(p);
        if (state == HPL_PLAYING) {
            const double now = TimerElapsed(stopwatch_);
            if (now - lastStatus_ > STATUS_INTERVAL) {
                PostStatus();
                lastStatus_ = now;
            }
        } else if (state == HPL_STOPPED && !closing_) {
            if (stopRequested_ || !closeAfterPlaying_) {
                atEnd_ = HplAtEnd(p);
                int32_t repeat = repeat_;
                if (repeat > 0) repeat_ = --repeat;
                if (stopRequested_ || (repeat != REPEAT_FOREVER && repeat <= 0))
                    PostMessageTo(this, UM_PLAYSTOPPED, 0, 0);
                else
                    PostMessageTo(this, UM_REPLAY, 0, 0);
            } else {
                PostMessageTo(this, WM_CLOSE, 0, 0);
            }
        }
    } catch (...) {
        ExceptionBox("PlayCBF: ");
    }
    // The worker never shows a box: its failure is shown by the window thread.
    if (!HplGetResult(p) && !errorPending_.exchange(true))
        PostMessageTo(this, UM_PLAYERERROR, 0, 0);
}

void PlayCBF(HplPlayer* /*player*/, void* /*user*/) {
    TfrmKelvora* form = gForm.load();
    if (form && form->playerExists_) form->PlayerStatus_();
}

void DisplayEvent(HplPlayer* /*player*/, int32_t button, uint32_t /*keys*/, int32_t /*position*/,
                  void* /*user*/) {
    TfrmKelvora* form = gForm.load();
    if (!form) return;
    Handle_([&] {
        if (button == DSP_BUTTON_LEFT) {
            if (form->noFile_)
                StartFile(HOME_PAGE, "", "", false, false);
            else
                form->PlayPause();
        } else if (button == DSP_BUTTON_RIGHT) {
            form->PopupMenu();
        }
    });
}

}  // namespace kelvora
