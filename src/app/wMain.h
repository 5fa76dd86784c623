#pragma once
// The main window: a strip of eleven transport buttons, the position bar and the time and frame
// panels under a sunken picture panel that holds the player's display. The window owns the one
// player for the program's whole life, turns buttons, keys, the popup menu and clicks in the
// picture into player commands, keeps the controls' enabled state in step with the player,
// sizes itself to the picture, and takes the player's notices and other programs' requests as
// posted messages.
//
// Threads: everything runs on the window thread except PlayCBF, which the player also calls
// from its worker; it only reads state and posts messages (a failure of the worker is shown
// later, on the window thread).

#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "app/IPCModule.h"
#include "app/wOptions.h"
#include "media/ConForm.h"
#include "player/HplDef.h"
#include "runtime/Basic.h"

class QFrame;
class QLabel;
class QSlider;
class QToolButton;

namespace kelvora {

class QTrackBar2;

// Window messages.
constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t UM_COMMANDLINE = 0x415;   // run the command line
constexpr uint32_t UM_REPLAY = 0x416;        // start the next repetition
constexpr uint32_t UM_PLAYSTOPPED = 0x417;   // playback has ended
constexpr uint32_t UM_SHOWFPS = 0x418;       // lParam: measured frame rate x 1000
constexpr uint32_t UM_SHOWFRAME = 0x419;     // lParam: current frame, 0-based
constexpr uint32_t UM_SHOWTIME = 0x41A;      // lParam: position in seconds
constexpr uint32_t UM_SHOWPOSITION = 0x41B;  // lParam: position in milliseconds
// The player's worker failed: its message is shown on the window thread.
constexpr uint32_t UM_PLAYERERROR = 0x4F0;

// Commands of the popup menu.
constexpr int32_t CMD_PLAY = 1;
constexpr int32_t CMD_PAUSE = 2;
constexpr int32_t CMD_OPEN = 3;
constexpr int32_t CMD_CLOSE = 4;
constexpr int32_t CMD_TO_START = 5;
constexpr int32_t CMD_FAST_BACK = 6;
constexpr int32_t CMD_ONE_BACK = 7;
constexpr int32_t CMD_ONE_FORWARD = 8;
constexpr int32_t CMD_FAST_FORWARD = 9;
constexpr int32_t CMD_TO_END = 10;
constexpr int32_t CMD_INFO = 11;
constexpr int32_t CMD_OPTIONS = 12;
constexpr int32_t CMD_EXIT = 50;

// Virtual-key codes of the keys the window handles.
constexpr int32_t VK_RETURN = 13;
constexpr int32_t VK_ESCAPE = 27;
constexpr int32_t VK_SPACE = 32;
constexpr int32_t VK_PRIOR = 33;
constexpr int32_t VK_NEXT = 34;
constexpr int32_t VK_END = 35;
constexpr int32_t VK_HOME = 36;
constexpr int32_t VK_LEFT = 37;
constexpr int32_t VK_UP = 38;
constexpr int32_t VK_RIGHT = 39;
constexpr int32_t VK_DOWN = 40;
constexpr int32_t VK_INSERT = 45;
constexpr int32_t VK_F5 = 116;
constexpr int32_t VK_F10 = 121;

// The repeat counter's value for "repeat for ever".
constexpr int32_t REPEAT_FOREVER = -1000;

// The window's class name, under which other programs find it.
extern const char* const MAIN_WINDOW_CLASS;  // "TfrmKelvora"
// The page a click on the logo opens.
extern const char* const HOME_PAGE;

// The player's status callback (any thread) and its mouse callback (window thread).
void PlayCBF(HplPlayer* player, void* user);
void DisplayEvent(HplPlayer* player, int32_t button, uint32_t keys, int32_t position, void* user);

class TfrmKelvora : public QWidget {
public:
    // `settingsFile` empty: the program's own settings file (SettingsFileName).
    explicit TfrmKelvora(const std::string& settingsFile = std::string(), QWidget* parent = nullptr);
    ~TfrmKelvora() override;
    TfrmKelvora(const TfrmKelvora&) = delete;
    TfrmKelvora& operator=(const TfrmKelvora&) = delete;

    // --- Controls -----------------------------------------------------------------------------
    QTrackBar2* bar1 = nullptr;
    QToolButton* btnPlay = nullptr;
    QToolButton* btnPause = nullptr;
    QToolButton* btnEject = nullptr;
    QToolButton* btntoStart = nullptr;
    QToolButton* btnFastBack = nullptr;
    QToolButton* btn1Back = nullptr;
    QToolButton* btn1Forward = nullptr;
    QToolButton* btnFastFwd = nullptr;
    QToolButton* btnToEnd = nullptr;
    QToolButton* btnInfo = nullptr;
    QToolButton* btnOptions = nullptr;
    QLabel* panLeft = nullptr;
    QLabel* panRight = nullptr;
    QFrame* panPicture = nullptr;

    // --- Commands -----------------------------------------------------------------------------
    bool OpenMediaFile(const std::string& fileName);
    void EvEject();
    void Pause();
    void StopPlaying();
    void StartPlaying();
    void PlayNext();
    void PlayPause();
    void JumpToStart();
    void JumpToEnd();
    void SmallStepForward();
    void SmallStepBackward();
    void LargeStepForward();
    void LargeStepBackward();
    void CloseFile();
    void FileInformation();
    void Options();
    // Saves the settings, stops and destroys the player and ends the program (onQuit).
    void QuitProgram();
    void ProcessCommandLine();
    // Runs a popup menu command (CMD_*); other ids do nothing.
    void RunCommand(int32_t id);
    // Shows the popup menu at the cursor and runs the chosen command.
    void PopupMenu();
    // Runs the command of a virtual key; a handled key becomes 0.
    void FormKeyDown(int32_t& key);
    // The posted messages (UM_*, WM_CLOSE).
    void HandleMessage(uint32_t message, uint32_t wParam, int32_t lParam);

    // --- Display --------------------------------------------------------------------------------
    void EnableButtons(bool play, bool pause, bool open, bool backward, bool forward, bool options);
    void SetTitle(const std::string& displayName, bool playing);
    void SetPanelLeft(const std::string& text);
    void SetPanelRight(const std::string& text);
    void ShowControls(bool visible);
    void ControlsMove();
    void ResizeWindow(int32_t width, int32_t height, bool keepBar);
    void SetTrackRange(int32_t maximum);
    void PostStatus();
    void DisplayLogo();
    void ResetNoFile(bool withLogo);
    void ShowPlayerError();
    void ShowPendingError();

    // --- State ------------------------------------------------------------------------------------
    HplPlayer* Player() const { return player_; }
    QAppSettings& Settings() { return settings_; }
    const QUniInfo& Info() const { return info_; }
    const std::string& PopupDescription() const { return popup_; }
    int32_t FrameCount() const { return frameCount_; }
    double FrameRate() const { return frameRate_; }
    double Duration() const { return duration_; }
    int32_t RepeatCounter() const { return repeat_.load(); }
    bool NoFile() const { return noFile_; }
    bool AtEnd() const { return atEnd_.load(); }
    bool CloseAfterPlaying() const { return closeAfterPlaying_.load(); }
    bool Uninstalling() const { return uninstalling_; }
    bool ControlsVisible() const { return controlsVisible_; }

    // Ends the program after QuitProgram; the default leaves the event loop with exit code 0.
    std::function<void()> onQuit;

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    friend void PlayCBF(HplPlayer* player, void* user);
    friend void DisplayEvent(HplPlayer* player, int32_t button, uint32_t keys, int32_t position,
                             void* user);

    void CreateControls_();
    void Creation_();
    void FirstActivation_();
    void BarChanged_();
    void ComputeFrameRate_();
    void ComputeDuration_();
    void ChannelAction_(int32_t channel, const std::string& text);
    void PlayerStatus_();
    QToolButton* MakeButton_(int32_t glyph, int32_t left, void (TfrmKelvora::*command)());

    QSlider* designBar_ = nullptr;
    HplPlayer* player_ = nullptr;
    std::atomic<bool> playerExists_{false};
    QUniInfo info_{};
    std::string displayName_;
    int32_t frameCount_ = 0;
    double frameRate_ = 15.0;
    double duration_ = 0.0;
    std::atomic<int32_t> repeat_{0};
    // Read by PlayCBF on the worker.
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> atEnd_{false};
    std::atomic<bool> closeAfterPlaying_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> errorPending_{false};
    bool noFile_ = false;
    bool firstActivation_ = true;
    bool quitDone_ = false;
    int32_t exitStatus_ = 0;  // the program's exit status when it ends
    bool uninstalling_ = false;
    bool barSetting_ = false;
    bool controlsVisible_ = true;
    std::string popup_;
    // Touched only by PlayCBF while playing (and reset before each run).
    kelvora::QTimer stopwatch_{};
    double lastStatus_ = 0.0;
    // Layout measures of the design.
    int32_t w0_ = 0, h0_ = 0, buttonOffset_ = 0, panelOffset_ = 0, barOffset_ = 0, barWidth0_ = 0;
    int32_t filterIndex_ = 0;
    QAppSettings settings_;
    std::string settingsFile_;
    std::string programPath_;
    QIPCChannel channels_[3]{};
};

}  // namespace kelvora
