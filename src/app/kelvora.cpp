// kelvora: the player window.
//
// Usage: kelvora [--help | --version] [ITEM...], where an item is /open=FILE, /play=FILE,
// /playclose=FILE, /inst, /uninst or a bare FILE (played). With no display the window runs on
// Qt's offscreen platform, so /playclose=FILE plays headless and ends by itself.

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/VCLUtils.h"
#include "app/wMain.h"
#include "kelvora_version.h"
#include "platform/LocalChannel.h"
#include "platform/PostedMessage.h"
#include "runtime/Errors.h"
#include "runtime/miscprocs.h"

using namespace kelvora;

namespace {

const char* const USAGE =
    "Usage: kelvora [--help | --version] [ITEM...]\n"
    "\n"
    "The Kelvora media player. Items:\n"
    "  FILE              open FILE and play it\n"
    "  /open=FILE        open FILE\n"
    "  /play=FILE        open FILE and play it\n"
    "  /playclose=FILE   open FILE, play it and end the program when it has played\n"
    "  /inst             write the settings and the published entries, then end\n"
    "  /uninst           end without publishing the program's entries\n"
    "Verbs are not case-sensitive; a value with blanks goes in double quotes\n"
    "(\"/play=my clip.hav\").\n"
    "\n"
    "A running player also takes requests from other programs:\n"
    "  kelvora-cli send (--open FILE | --play FILE | --close)\n"
    "\n"
    "Options:\n"
    "  --help       show this text and exit\n"
    "  --version    show the version and exit\n";

QtMessageHandler gQtHandler = nullptr;

void QtMessages_(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    // The offscreen platform cannot pass the window's fixed size on, and a session without a
    // runtime folder makes Qt pick its own: both are expected there and mean nothing to the user.
    if (text.contains(QLatin1String("propagateSizeHints")) ||
        text.contains(QLatin1String("XDG_RUNTIME_DIR")))
        return;
    if (gQtHandler)
        gQtHandler(type, context, text);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

bool Set_(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}

void FatalBox_(const std::string& caption, const std::string& text) {
    MsgBox(text, caption, MB_OK + MB_ICONERROR);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Kelvora %s (%s)\n", KV_VERSION, KV_RELEASE_DATE);
        return 0;
    }
    if (!Set_("DISPLAY") && !Set_("WAYLAND_DISPLAY") && !Set_("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::fputs(
            "kelvora: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); running on Qt's "
            "offscreen "
            "platform\n",
            stderr);
    }
    gQtHandler = qInstallMessageHandler(QtMessages_);
    QApplication app(argc, argv);
    // Qt has taken its own options out of the arguments by now.
    CmdLine_Set(CmdLine_FromArgs(argc, argv));
    MonSetFatalMessageProc(FatalBox_);

    auto* window = new TfrmKelvora();
    window->show();
    // Other programs' requests arrive on the listener's thread and are posted to the window;
    // nothing but the channel messages is taken from outside.
    LcListener* listener = LcListen(MAIN_WINDOW_CLASS,
                                    [window](uint32_t message, uint32_t wParam, int32_t lParam) {
                                        if (message == UM_IPCDATA)
                                            PostMessageTo(window, message, wParam, lParam);
                                    });
    if (listener == nullptr)
        std::fputs(
            "kelvora: cannot listen for requests of other programs (no private socket folder)\n",
            stderr);
    const int status = QApplication::exec();
    LcClose(listener);
    delete window;
    return status;
}
