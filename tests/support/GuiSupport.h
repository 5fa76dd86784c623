#pragma once
// The one QApplication of a GUI test program, on Qt's offscreen platform, with SDL's dummy
// sound driver (no test needs a screen or a sound card).

#include <QApplication>

#include <cstdlib>

namespace kelvora::test {

inline void StartGuiApp() {
    static int argc = 1;
    static char name[] = "kv_gui_test";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    if (!QApplication::instance()) new QApplication(argc, argv);
}

}  // namespace kelvora::test
